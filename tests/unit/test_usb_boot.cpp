#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bladeimg/image_builder.hpp"
#include "fakes/fake_platform.hpp"
#include "launcher/flash.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"
#include "launcher/launch.hpp"
#include "launcher/usb_boot.hpp"

using namespace bladeboot;

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr const char* BOOT_PKG = "/mnt/usb/KVL7730_Boot.img";
constexpr const char* REPLACE1 = "/mnt/usb/KVL7730_replace1_OS.img";
constexpr const char* REPLACE2 = "/mnt/usb/KVL7730_replace2_OS.img";
constexpr const char* USB_OS = "/mnt/usb/KVL7730_OS.img";
constexpr const char* MD5_PREFIX = "/bin/busybox md5sum ";
constexpr const char* MD5_SUFFIX = " > /tmp/img_md5string";

void write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> app_package(uint32_t version, uint8_t fill)
{
    const std::vector<uint8_t> payload(300, fill);
    return bladeimg::make_image({IMAGE_APPLICATION, version}, payload);
}

std::string md5_command(const std::string& path) { return MD5_PREFIX + path + MD5_SUFFIX; }

class UsbTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        api_i2c_init();
        api_flash_init();
        // The shell's part of the commands, as busybox would do it: md5sum
        // writes "<digest>  <path>" (nothing for a file it cannot read), and
        // mkdir/touch create what they name.
        b().on_command = [this](const std::string& command) {
            if (command.rfind(MD5_PREFIX, 0) == 0) {
                const size_t begin = std::strlen(MD5_PREFIX);
                const std::string path = command.substr(begin, command.rfind(MD5_SUFFIX) - begin);
                std::ofstream out("/tmp/img_md5string", std::ios::trunc);
                if (auto it = digests.find(path); it != digests.end()) out << it->second << "  " << path << "\n";
            } else if (command == "mkdir -p /user/images/rejected") {
                fs::create_directories("/user/images/rejected");
            } else if (command.rfind("touch ", 0) == 0) {
                std::ofstream(command.substr(6));
            }
            return 0;
        };
    }

    // A file on the stick with the digest md5sum will report for it.
    void on_stick(const char* path, const std::vector<uint8_t>& bytes, char digest_char)
    {
        write_file(path, bytes);
        digests[path] = std::string(32, digest_char);
    }

    void reject(const char* path)
    {
        fs::create_directories("/user/images/rejected");
        std::ofstream("/user/images/rejected/" + digests.at(path));
    }

    std::map<std::string, std::string> digests;
};

// --- waiting for the stick -------------------------------------------------

struct MountCase {
    const char* what;
    bool requested;
    int marker_at_s;  // -1: never
    int result;
    const char* tail;
    uint64_t slept_s;
};

TEST_F(UsbTest, MountWaitsUpToElevenSecondsForTheReadyMarker)
{
    const char* announce =
        "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\n";
    const MountCase cases[] = {
        {"no stick", true, -1, -1, "..........USB mount timed out\n", 11},
        {"ready from the start", true, 0, 0, "USB mounted and ready!\n", 1},
        {"ready after three seconds", true, 3, 0, "..USB mounted and ready!\n", 3},
        {"ready just before the last check", true, 10, 0, ".........USB mounted and ready!\n", 10},
        {"USB boot not requested", false, 0, 0, nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        fs::remove("/tmp/usb");
        usb_boot_enabled = c.requested;
        if (c.marker_at_s == 0) std::ofstream("/tmp/usb");
        if (c.marker_at_s > 0)
            b().on_time = [&](uint64_t now_us) {
                if (now_us >= uint64_t(c.marker_at_s) * 1000000u) std::ofstream("/tmp/usb");
            };
        CaptureStdout();
        EXPECT_EQ(usb_mount(), c.result);
        EXPECT_EQ(GetCapturedStdout(), c.tail ? std::string(announce) + c.tail : "");
        EXPECT_EQ(b().slept_us(), c.slept_s * 1000000u);
    }
}

// --- boot loader package ---------------------------------------------------

TEST_F(UsbTest, NewBootLoaderRebootsAndTheSameOneAgainDoesNot)
{
    // A real boot loader carries its own header's len, magic and id at byte
    // 240: that is what the installed one is recognised by.
    std::vector<uint8_t> payload(4096, 0x5A);
    const bladeimg::ImageSpec plan{IMAGE_UBOOT, 0x02000000};
    const auto header = bladeimg::make_image(plan, payload);
    std::copy(header.begin() + 4, header.begin() + 16, payload.begin() + 244);
    write_file(BOOT_PKG, bladeimg::make_image(plan, payload));

    CaptureStdout();
    EXPECT_THROW(usb_update_boot(), fake::Exited);
    GetCapturedStdout();
    EXPECT_EQ(b().commands, std::vector<std::string>{"reboot"});
    const auto& flash = b().part("/dev/mtd-uboot").bytes;
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), flash.begin()));

    b().commands.clear();
    CaptureStdout();
    EXPECT_NO_THROW(usb_update_boot());
    GetCapturedStdout();
    EXPECT_TRUE(b().commands.empty());
}

// --- choosing what to boot -------------------------------------------------

TEST_F(UsbTest, BothReplacementsInstallSlotTwoFirstAndSlotOneWins)
{
    const auto image1 = app_package(0x01000001, 0x11), image2 = app_package(0x01000002, 0x22);
    on_stick(REPLACE1, image1, '1');
    on_stick(REPLACE2, image2, '2');
    CaptureStdout();
    EXPECT_EQ(usb_which_image(), 1);
    const std::string out = GetCapturedStdout();

    EXPECT_EQ(read_file("/user/images/image1"), image1);
    EXPECT_EQ(read_file("/user/images/image2"), image2);
    const auto found2 = out.find("USB image (file 'KVL7730_replace2_OS.img') replacement for image2 found\n");
    const auto done2 = out.find("Image2 has been successfully replaced\n");
    const auto found1 = out.find("USB image (file 'KVL7730_replace1_OS.img') replacement for image1 found\n");
    const auto done1 = out.find("Image1 has been successfully replaced\n");
    ASSERT_NE(done1, std::string::npos) << out;
    EXPECT_TRUE(found2 < done2 && done2 < found1 && found1 < done1) << out;
    EXPECT_TRUE(out.ends_with("USB replacement image: board will boot with image1.\n")) << out;
}

TEST_F(UsbTest, FailedReplacementFallsThroughToTheUsbImage)
{
    auto broken = app_package(0x01000002, 0x22);
    broken.back() ^= 0xFF;
    on_stick(REPLACE2, broken, '2');
    write_file(USB_OS, app_package(0x01000003, 0x33));
    CaptureStdout();
    EXPECT_EQ(usb_which_image(), 3);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(out.find("successfully replaced"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists("/user/images/image2"));
}

TEST_F(UsbTest, StickWithOnlyTheUsbImageOrNothing)
{
    CaptureStdout();
    usb_update_boot();
    EXPECT_EQ(usb_which_image(), 0);
    EXPECT_EQ(GetCapturedStdout(), "No boot image found on USB.\nNo valid image found on USB\n");

    write_file(USB_OS, app_package(0x01000003, 0x33));
    CaptureStdout();
    EXPECT_EQ(usb_which_image(), 3);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(b().commands.empty());
}

struct RejectedReplacementCase {
    const char* what;
    const char* keys;
    int result;
    bool replaced2, replaced1;
};

TEST_F(UsbTest, RejectedReplacementsAskFirstAndNoStopsAtOnce)
{
    const RejectedReplacementCase cases[] = {
        // The slot 1 replacement and the USB image are not looked at.
        {"no", "n", 0, false, false},
        {"silence", "", 0, false, false},
        {"yes to both", "yy", 1, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        on_stick(REPLACE2, app_package(0x01000002, 0x22), '2');
        on_stick(REPLACE1, app_package(0x01000001, 0x11), '1');
        write_file(USB_OS, app_package(0x01000003, 0x33));
        reject(REPLACE2);
        reject(REPLACE1);
        b().console.type(c.keys);
        b().console.at_eof = false;

        CaptureStdout();
        EXPECT_EQ(usb_which_image(), c.result);
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(fs::exists("/user/images/image2"), c.replaced2);
        EXPECT_EQ(fs::exists("/user/images/image1"), c.replaced1);
        EXPECT_TRUE(out.starts_with("USB image (file 'KVL7730_replace2_OS.img') replacement for image2 found\n"
                                    "Replacement USB image is in rejected list.\n"
                                    "Would you still like to load it? (y/n) "))
            << out;
        EXPECT_EQ(out.find("replacement for image1") != std::string::npos, c.replaced1) << out;
        EXPECT_EQ(out.find("Continuing with replacement USB image...\n") != std::string::npos, c.replaced2);
    }
}

// --- reject list -----------------------------------------------------------

TEST_F(UsbTest, FirstAdditionCreatesTheMarkerLaterOnesDoNothing)
{
    write_file(USB_OS, app_package(0x01000003, 0x33));
    digests[USB_OS] = "0123456789abcdef0123456789ABCDEF";
    const std::string marker = "/user/images/rejected/0123456789abcdef0123456789ABCDEF";

    EXPECT_EQ(usb_is_image_rejected(USB_OS), 0);
    b().commands.clear();
    usb_add_image_to_reject_list(USB_OS);
    EXPECT_EQ(b().commands,
              (std::vector<std::string>{md5_command(USB_OS), "mkdir -p /user/images/rejected", "touch " + marker}));
    EXPECT_TRUE(fs::is_regular_file(marker));
    EXPECT_EQ(fs::file_size(marker), 0u);

    b().commands.clear();
    usb_add_image_to_reject_list(USB_OS);
    EXPECT_EQ(b().commands, std::vector<std::string>{md5_command(USB_OS)});
    EXPECT_EQ(usb_is_image_rejected(USB_OS), 1);
}

TEST_F(UsbTest, UnknownDigestIsNeitherListedNorAdded)
{
    // md5sum leaves the scratch file empty for a file it cannot read.
    CaptureStdout();
    EXPECT_EQ(usb_is_image_rejected(USB_OS), 0);
    usb_add_image_to_reject_list(USB_OS);
    EXPECT_EQ(GetCapturedStdout(),
              "Warning: Cannot determine if image is in rejected list!\n"
              "Warning: Cannot add image to rejected list!\n");
    EXPECT_EQ(b().commands, (std::vector<std::string>{md5_command(USB_OS), md5_command(USB_OS)}));
    EXPECT_FALSE(fs::exists("/user/images/rejected"));
}

TEST_F(UsbTest, DigestIsTheFirst32HexCharactersOfTheScratchFile)
{
    const struct {
        const char* scratch;
        int result;
        const char* digest;
    } cases[] = {
        {"d41d8cd98f00b204e9800998ecf8427e  /mnt/usb/x\n", 1, "d41d8cd98f00b204e9800998ecf8427e"},
        {"d41d8cd98f00b204e9800998ecf8427e", 1, "d41d8cd98f00b204e9800998ecf8427e"},
        {"d41d8cd98f00b204e9800998ecf842", 0, nullptr},
        {"", 0, nullptr},
        // Anything else would become a file name and part of a touch command.
        {"d41d8cd98f00b204e98;reboot;f8427e  x\n", 0, nullptr},
        {"../../../../etc/passwd0000000000000", 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scratch);
        b().on_command = [&](const std::string&) {
            std::ofstream("/tmp/img_md5string", std::ios::trunc) << c.scratch;
            return 0;
        };
        char digest[33] = "untouched";
        EXPECT_EQ(get_md5string("/mnt/usb/x", digest), c.result);
        if (c.digest) {
            EXPECT_STREQ(digest, c.digest);
        }
    }
    fs::remove("/tmp/img_md5string");
    b().on_command = nullptr;
    EXPECT_EQ(get_md5string("/mnt/usb/x", std::array<char, 33>{}.data()), 0);
}

// The command goes to a real shell on the board: a path must reach md5sum as
// one literal word whatever it holds. A harmless printf in this sandbox's
// shell shows what the board's shell would make of it.
TEST_F(UsbTest, Md5PathReachesTheShellAsOneWord)
{
    const char* paths[] = {"/mnt/usb/KVL7730_OS.img", "/mnt/usb/it's $(echo X) `echo Y`; \"a b\"\\ *", "/mnt/usb/'",
                           "/mnt/usb/a\nb"};
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        b().commands.clear();
        char digest[33];
        get_md5string(path, digest);
        ASSERT_EQ(b().commands.size(), 1u);
        const std::string& command = b().commands[0];
        ASSERT_EQ(command.rfind(MD5_PREFIX, 0), 0u) << command;
        ASSERT_TRUE(command.ends_with(MD5_SUFFIX)) << command;
        const size_t begin = std::strlen(MD5_PREFIX);
        const std::string word = command.substr(begin, command.size() - begin - std::strlen(MD5_SUFFIX));

        const std::string probe = "printf '%s|' " + word;
        FILE* sh = ::popen(("/bin/sh -c \"$(cat <<'PROBE'\n" + probe + "\nPROBE\n)\"").c_str(), "r");
        ASSERT_NE(sh, nullptr);
        std::string seen;
        for (int ch; (ch = std::fgetc(sh)) != EOF;) seen += static_cast<char>(ch);
        ::pclose(sh);
        EXPECT_EQ(seen, std::string(path) + "|");
    }
}

// --- yes/no question -------------------------------------------------------

struct QuestionCase {
    const char* what;
    std::vector<int> keys;
    bool at_eof;  // after the keys: closed console, else silence
    int result;
    const char* output;  // after the question
    uint64_t slept_s;
};

TEST_F(UsbTest, YesNoQuestion)
{
    const QuestionCase cases[] = {
        {"y", {'y', '\n'}, false, 1, "(y/n) ", 0},
        {"n", {'n', '\n'}, false, 0, "(y/n) ", 0},
        {"upper case asks again", {'Y', 'y'}, false, 1, "(y/n) (y/n) ", 0},
        {"line mode: the rest of a line asks again", {'N', 'o', '\n', 'n'}, false, 0, "(y/n) (y/n) (y/n) (y/n) ", 0},
        {"silence", {}, false, 0, "(y/n) \nTimeout. Assuming \"no\".\n", 5},
        {"a wrong key restarts the wait", {'x'}, false, 0, "(y/n) (y/n) \nTimeout. Assuming \"no\".\n", 5},
        {"Ctrl-C", {fake::INTERRUPT, 'y'}, false, 0, "(y/n) \nTimeout. Assuming \"no\".\n", 0},
        {"end of input", {}, true, 0, "(y/n) \nTimeout. Assuming \"no\".\n", 0},
        {"end of input after a wrong key", {'Y', '\n'}, true, 0,
         "(y/n) (y/n) (y/n) \nTimeout. Assuming \"no\".\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        b().console.keys.assign(c.keys.begin(), c.keys.end());
        b().console.at_eof = c.at_eof;
        CaptureStdout();
        EXPECT_EQ(yesno_question("Load it? "), c.result);
        EXPECT_EQ(GetCapturedStdout(), std::string("Load it? ") + c.output);
        EXPECT_EQ(b().slept_us(), c.slept_s * 1000000u);
        // An interrupt is an answer of no, not consumed: the caller may still see it.
        EXPECT_EQ(sig_quit_raised, !c.keys.empty() && c.keys[0] == fake::INTERRUPT);
    }
}

}  // namespace
