// Rescue menu roads through the console fake; USB listing on the sandbox's
// /mnt/usb; version rows from the fake partitions and slot files.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fakes/fake_platform.hpp"
#include "launcher/flash.hpp"
#include "launcher/launch.hpp"
#include "launcher/rescue.hpp"

using namespace bladeboot;

namespace {

using testing::HasSubstr;
using testing::Not;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const std::string MENU =
    "Please select one of the following options:\n"
    "\tX) Use xmodem 1K to serial download an image\n"
    "\tR) Reboot\n"
    "\tE) Exit\n";
const std::string PROMPT = "\nOption? : ";
const std::string USB_PROMPT = "Choose file number to install (q to quit): ";

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string cwd()
{
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? buf : "";
}

class RescueTest : public fake::BoardTest {
protected:
    int run_menu(const std::string& keys)
    {
        b().console.type(keys);
        CaptureStdout();
        CaptureStderr();
        const int result = run_rescue_mode();
        out_ = GetCapturedStdout();
        err_ = GetCapturedStderr();
        return result;
    }
    std::string out_;
    std::string err_;
};

TEST_F(RescueTest, UnknownKeyIsNamedUpperCasedAndExitReturnsOne)
{
    EXPECT_EQ(run_menu("qe"), 1);
    EXPECT_EQ(out_, "Entering Rescue Mode.\n" + MENU + PROMPT + "q\nunknown option \"Q\". Please try again\n" + PROMPT +
                        "e\n");
}

TEST_F(RescueTest, InterruptedOrEmptyKeyAsksAgainWithoutListingTheMenu)
{
    b().console.keys.push_back(fake::INTERRUPT);
    EXPECT_EQ(run_menu(std::string(1, '\0') + "E"), 1);
    EXPECT_EQ(sig_quit_raised, 0);
    EXPECT_EQ(count_of(out_, MENU), 1u);
    EXPECT_EQ(count_of(out_, PROMPT), 3u);
    EXPECT_THAT(out_, Not(HasSubstr("unknown option")));
}

TEST_F(RescueTest, EndOfConsoleInputLeavesTheMenuInsteadOfSpinning)
{
    EXPECT_EQ(run_menu(""), 1);
    EXPECT_EQ(count_of(out_, PROMPT), 1u);
}

// Handlers that come back lead to the menu again, listed afresh.
struct HandlerCase {
    const char* name;
    std::string keys;
    std::string shows;
};

class HandlerTest : public RescueTest, public testing::WithParamInterface<HandlerCase> {};

TEST_P(HandlerTest, HandlerRunsAndTheMenuComesBack)
{
    b().serial.rx = {13, 10};
    EXPECT_EQ(run_menu(GetParam().keys + "e"), 1);
    EXPECT_THAT(out_ + err_, HasSubstr(GetParam().shows));
    EXPECT_EQ(count_of(out_, MENU), 2u) << out_;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, HandlerTest,
    testing::Values(HandlerCase{"VersionsLowerCase", "v", "Installed images versions: \n"},
                    HandlerCase{"VersionsUpperCase", "V", "Installed images versions: \n"},
                    HandlerCase{"UsbUnlisted", "uq\r", USB_PROMPT},
                    HandlerCase{"DiagnosticsUnlisted", "dn", "Image not found... \n"},
                    HandlerCase{"SerialLowerCase", "x", "Running xmodem rescue.....\n"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RescueTest, RebootWaitsOneSecondThenResets)
{
    b().console.type("r");
    CaptureStdout();
    EXPECT_THROW(run_rescue_mode(), fake::Exited);
    GetCapturedStdout();
    ASSERT_EQ(b().commands, std::vector<std::string>{"reboot"});
    // The menu's own second, then board_reset's.
    EXPECT_EQ(b().sleeps_us, (std::vector<uint64_t>{1'000'000, 1'000'000}));
}

TEST_F(RescueTest, InterruptInsideAHandlerEndsItAndIsClearedAfterwards)
{
    write_file("/mnt/usb/package", "would be installed as 1");
    b().console.type("u");
    b().console.keys.push_back(fake::INTERRUPT);
    EXPECT_EQ(run_menu("1\re"), 1);
    EXPECT_EQ(sig_quit_raised, 0);
    EXPECT_THAT(out_, Not(HasSubstr("Installing")));
    EXPECT_EQ(cwd(), "/tmp");
}

// --- serial download ---------------------------------------------------

TEST_F(RescueTest, SerialDownloadRunsRxBetweenTheHandoverHalvesAndInstallsWhatArrived)
{
    b().serial.rx = {13, 10};
    std::vector<std::string> calls_during_rx;
    b().on_command = [&](const std::string&) {
        calls_during_rx = b().serial.calls;
        write_file("/tmp/image", "not an image package");
        return 0;
    };
    CaptureStdout();
    EXPECT_EQ(run_xmodem_rescue(), 0);
    const std::string out = GetCapturedStdout();

    EXPECT_EQ(b().commands, std::vector<std::string>{"/usr/bin/rx /tmp/image"});
    EXPECT_EQ(calls_during_rx.size(), 4u) << "rx must run after the switch and before the way back";
    EXPECT_EQ(b().serial.calls.size(), 9u);
    EXPECT_EQ(b().serial.calls.back(), "close");
    EXPECT_THAT(out, HasSubstr("Running xmodem rescue.....\n"));
    EXPECT_THAT(out, HasSubstr("Extracting images")) << "the received file goes to the installer";
}

TEST_F(RescueTest, SerialDownloadWithoutAFileInstallsNothing)
{
    b().serial.rx = {13, 10};
    CaptureStdout();
    EXPECT_EQ(run_xmodem_rescue(), 0);
    EXPECT_THAT(GetCapturedStdout(), Not(HasSubstr("Extracting images")));
    EXPECT_EQ(b().commands.size(), 1u);
}

TEST_F(RescueTest, SerialDownloadWithoutThePortSaysSoAndRunsNothing)
{
    b().serial.exists = false;
    write_file("/tmp/image", "left by an earlier download");
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(run_xmodem_rescue(), 0);
    const std::string out = GetCapturedStdout();
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("Can't open serial port!"));
    EXPECT_THAT(out, HasSubstr("Serial download not possible without the serial port."));
    EXPECT_THAT(out, Not(HasSubstr("Extracting images")));
    EXPECT_TRUE(b().commands.empty());
    EXPECT_TRUE(b().sleeps_us.empty());
}

// --- USB install -------------------------------------------------------

class UsbRescueTest : public RescueTest {
protected:
    void SetUp() override
    {
        RescueTest::SetUp();
        ASSERT_EQ(chdir("/"), 0);
    }
    // Names as the directory yields them, directories left out.
    static std::vector<std::string> listed_names()
    {
        std::vector<std::string> names;
        DIR* dir = opendir("/mnt/usb");
        while (const dirent64* e = readdir64(dir)) {
            struct stat64 st {};
            const std::string path = std::string("/mnt/usb/") + e->d_name;
            if (lstat64(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) names.push_back(e->d_name);
        }
        closedir(dir);
        return names;
    }
    int usb(const std::string& answer)
    {
        b().console.type(answer);
        CaptureStdout();
        const int result = run_usb_rescue();
        out_ = GetCapturedStdout();
        return result;
    }
};

struct AnswerCase {
    const char* name;
    std::string answer;
    int installs;  // 1-based position in the listing; 0 = nothing
    bool refused_once;
};

class UsbAnswerTest : public UsbRescueTest, public testing::WithParamInterface<AnswerCase> {};

TEST_P(UsbAnswerTest, TwoFilesAndADirectoryAreNumberedAndTheAnswerChoosesAmongThem)
{
    write_file("/mnt/usb/first.pkg", "junk one");
    write_file("/mnt/usb/second.pkg", "junk two");
    ASSERT_EQ(mkdir("/mnt/usb/folder", 0755), 0);
    const std::vector<std::string> names = listed_names();
    ASSERT_EQ(names.size(), 2u);

    EXPECT_EQ(usb(GetParam().answer), 0);
    const std::string listing = "\t1: " + names[0] + "\n\t2: " + names[1] + "\n" + USB_PROMPT;
    EXPECT_EQ(out_.substr(0, listing.size()), listing);
    EXPECT_EQ(count_of(out_, "Invalid file number x2. Try again pleas\n"), GetParam().refused_once ? 1u : 0u);
    if (GetParam().installs > 0) {
        EXPECT_THAT(out_, HasSubstr("Installing " + names[static_cast<size_t>(GetParam().installs - 1)] +
                                    "\n\nExtracting images"));
    } else {
        EXPECT_THAT(out_, Not(HasSubstr("Installing")));
    }
    EXPECT_EQ(cwd(), "/tmp");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UsbAnswerTest,
    testing::Values(AnswerCase{"Two", "2\r", 2, false}, AnswerCase{"OneWithBlanks", "  1\r", 1, false},
                    AnswerCase{"TwoThenJunk", "2x\r", 2, false}, AnswerCase{"PastTheEnd", "3\r", 0, false},
                    AnswerCase{"Zero", "0\r", 0, false}, AnswerCase{"Negative", "-1\r", 0, false},
                    AnswerCase{"Huge", "99999999999999999999\r", 0, false},
                    AnswerCase{"LowerQ", "q\r", 0, false}, AnswerCase{"UpperQ", "Q\r", 0, false},
                    AnswerCase{"Quit", "quit\r", 0, false}, AnswerCase{"JunkThenOne", "x2\r1\r", 1, true},
                    AnswerCase{"JunkThenInputEnds", "x2", 0, true}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(UsbRescueTest, EntriesAreClassedWithoutFollowingLinksAndLongNamesKeepTheirFullPath)
{
    ASSERT_EQ(mkdir("/mnt/usb/folder", 0755), 0);
    ASSERT_EQ(symlink("folder", "/mnt/usb/link-to-folder"), 0);
    const std::string longest(NAME_MAX, 'n');
    ASSERT_EQ(symlink("nowhere", ("/mnt/usb/" + longest).c_str()), 0);
    const std::vector<std::string> names = listed_names();
    ASSERT_EQ(names.size(), 2u) << "a link to a directory is listed like a file";

    const size_t pick = names[0] == longest ? 1 : 2;
    EXPECT_EQ(usb(std::to_string(pick) + "\r"), 0);
    EXPECT_THAT(out_, HasSubstr("\t" + std::to_string(3 - pick) + ": link-to-folder\n"));
    EXPECT_THAT(out_, HasSubstr("Cannot open image package /mnt/usb/" + longest + " (err"));
}

TEST_F(UsbRescueTest, EmptyStickListsNothingAndLeavesOnQ)
{
    EXPECT_EQ(usb("Q\r"), 0);
    EXPECT_EQ(out_.substr(0, USB_PROMPT.size()), USB_PROMPT);
    EXPECT_EQ(cwd(), "/tmp");
}

// --- version display ---------------------------------------------------

class VersionTest : public RescueTest {
protected:
    static std::vector<uint8_t> header(uint32_t magic, std::vector<uint8_t> id)
    {
        std::vector<uint8_t> h = {0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 0x10, 0};
        for (int shift = 24; shift >= 0; shift -= 8) h.push_back(static_cast<uint8_t>(magic >> shift));
        h.insert(h.end(), id.begin(), id.end());
        return h;
    }
};

TEST_F(VersionTest, RowsShowEachIdByteAsADecimalAndAMissingSlotAsZeros)
{
    fake::load_partition("/dev/mtd-uboot", 240, header(0x02504754, {1, 2, 10, 11}));
    fake::load_partition("/dev/mtd-rfs", 0, header(0x04504754, {4, 3, 2, 1}));
    fake::load_partition("/dev/mtd-kernel", 0, header(0x03504754, {255, 0, 128, 8}));
    fake::load_partition("/dev/mtd-devicetree", 0, header(0x05504754, {0, 0, 0, 1}));
    ASSERT_EQ(mkdir("/user/images", 0755), 0);
    const std::vector<uint8_t> slot1 = header(0x01504754, {9, 8, 7, 6});
    write_file("/user/images/image1", std::string(slot1.begin(), slot1.end()));
    CaptureStdout();
    api_flash_init();
    GetCapturedStdout();

    CaptureStdout();
    EXPECT_EQ(run_image_display(), 0);
    EXPECT_EQ(GetCapturedStdout(),
              "Installed images versions: \n"
              "\tBoot image  : 1.2.10.11\n"
              "\tRFS image   : 4.3.2.1\n"
              "\tKernel image: 255.0.128.8\n"
              "\tDFT image   : 0.0.0.1\n"
              "\tOS image 1  : 9.8.7.6\n"
              "\tOS image 2  : 0.0.0.0\n");
}

}  // namespace
