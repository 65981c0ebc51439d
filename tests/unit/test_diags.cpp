#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bladeimg/image_builder.hpp"
#include "fakes/fake_platform.hpp"
#include "image_files.hpp"
#include "launcher/flash.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"
#include "launcher/launch.hpp"

using namespace bladeboot;

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using testfiles::ends_in_launch;
using testfiles::read_file;
using Bytes = std::vector<uint8_t>;
using Commands = std::vector<std::string>;

constexpr const char* RESCUE = "/dev/mtd-rescue";
constexpr const char* TARBALL = "/tmp/torasimage.tar.gz";
constexpr const char* DIAGS_MOVE = "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip";

Bytes rescue_image(uint32_t type, bladeimg::Kind kind = bladeimg::Kind::plain)
{
    return bladeimg::make_image({type, 0x02000001, kind}, testfiles::pattern(3000, 6));
}

Bytes payload_of(const Bytes& image, size_t header = 16) { return Bytes(image.begin() + header, image.end()); }

class DiagsTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        fresh_board();
    }

    void fresh_board()
    {
        fake::reset();
        mtd_open();
        api_i2c_init();
        // mkdir and cp as the shell would run them.
        b().on_command = [](const std::string& command) {
            if (command.rfind("mkdir /user/images", 0) == 0) fs::create_directories("/user/images");
            if (command.rfind("cp /tmp/image ", 0) == 0)
                fs::copy_file("/tmp/image", command.substr(14, command.size() - 15),
                              fs::copy_options::overwrite_existing);
            return 0;
        };
    }

    uint8_t eeprom(uint16_t offset) { return b().eeprom.mem[offset]; }
    bool ran(const std::string& command)
    {
        return std::find(b().commands.begin(), b().commands.end(), command) != b().commands.end();
    }
};

TEST_F(DiagsTest, OnlyYesErasesTheUserFilesystemFirst)
{
    const Commands erase = {"/bin/umount /user &> /dev/null", "flash_eraseall /dev/mtd-user-char",
                            "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
                            "mkdir /user/images &> /dev/null"};
    const std::string question =
        "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: \n";
    const std::string steps =
        "unmount filesystem\n\nErasing filesystem for clean install\nMounting...\ncreating default filesystem\n";
    struct Case {
        const char* keys;
        bool erases;
    };
    for (const Case& c : {Case{"y", true}, Case{"Y", true}, Case{"n", false}, Case{"\n", false}, Case{"", false}}) {
        SCOPED_TRACE(c.keys);
        fresh_board();
        // A kernel is no rescue image: the erase still comes first.
        fake::load_partition(RESCUE, 0, rescue_image(IMAGE_KERNEL));
        b().console.type(c.keys);
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(run_standalone_diags(), 1);
        EXPECT_EQ(GetCapturedStderr(), "Image not found... \n");
        EXPECT_EQ(GetCapturedStdout(), question + (c.erases ? steps : "") + "Booting diags image...\n");
        EXPECT_EQ(b().commands, c.erases ? erase : Commands{});
        EXPECT_EQ(fs::file_size(TARBALL), 0u);
    }
}

TEST_F(DiagsTest, DiagnosticsImageLaunchesAsDiagnosticsFromBootedSlotFour)
{
    const Bytes image = rescue_image(IMAGE_DIAGS, bladeimg::Kind::extended);
    fake::load_partition(RESCUE, 0, image);
    CaptureStdout();
    EXPECT_TRUE(ends_in_launch([] { extract_image_from_flash(); }));
    const std::string out = GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("Launching diagnostics image\n"));
    EXPECT_THAT(out, testing::Not(HasSubstr("Install recovery")));
    EXPECT_EQ(read_file(TARBALL), payload_of(image, 24));
    EXPECT_EQ(eeprom(EEPROM_BOOTED_SLOT), 4);
    EXPECT_EQ(eeprom(EEPROM_PREFERRED_SLOT), 0xFF);
    EXPECT_TRUE(ran(DIAGS_MOVE));
}

TEST_F(DiagsTest, RecoveryImageAnswers)
{
    struct Case {
        const char* answer;
        int slot;  // installed into, 0: none
        uint8_t preferred;
        uint8_t booted;
        const char* says;
    };
    const Case cases[] = {
        {"1\n", 1, 1, 1, "\nInstalling recovery image as image1...\nSetting boot image to 1\n"},
        {"2\n", 2, 2, 2, "\nInstalling recovery image as image2...\nSetting boot image to 2\n"},
        {"\n", 0, 0xFF, 4, "\nBooting recovery image. You will need to download and install an image before rebooting\n"},
        {"", 0, 0xFF, 0xFF, "(hit return to just boot image): "},
    };
    const Bytes image = rescue_image(IMAGE_APPLICATION);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        fresh_board();
        fs::remove_all("/user/images");
        fake::load_partition(RESCUE, 0, image);
        b().console.type(c.answer);
        CaptureStdout();
        EXPECT_TRUE(ends_in_launch([] { extract_image_from_flash(); }));
        EXPECT_THAT(GetCapturedStdout(), HasSubstr(c.says));
        EXPECT_EQ(read_file(TARBALL), payload_of(image));
        EXPECT_EQ(eeprom(EEPROM_PREFERRED_SLOT), c.preferred);
        EXPECT_EQ(eeprom(EEPROM_BOOTED_SLOT), c.booted);
        for (int slot : {1, 2}) {
            const std::string path = "/user/images/image" + std::to_string(slot);
            if (slot == c.slot)
                EXPECT_EQ(read_file(path), image);
            else
                EXPECT_FALSE(fs::exists(path));
        }
        EXPECT_FALSE(ran(DIAGS_MOVE));
    }
}

TEST_F(DiagsTest, RecoveryInstallThatCannotBeWrittenKeepsTheSlot)
{
    const Bytes old_image = rescue_image(IMAGE_APPLICATION);
    fs::create_directories("/user/images");
    testfiles::write_file("/user/images/image1", {1, 2, 3});
    fs::create_symlink("/dev/full", "/user/images/image1.new");
    fake::load_partition(RESCUE, 0, old_image);
    b().console.type("1\n");
    CaptureStdout();
    EXPECT_TRUE(ends_in_launch([] { extract_image_from_flash(); }));
    EXPECT_THAT(GetCapturedStdout(), HasSubstr("Image1 update failed (err 28)\n"));
    // Neither the slot nor the preference moves to an image that is not there.
    EXPECT_EQ(read_file("/user/images/image1"), Bytes({1, 2, 3}));
    EXPECT_EQ(eeprom(EEPROM_PREFERRED_SLOT), 0xFF);
    EXPECT_EQ(eeprom(EEPROM_BOOTED_SLOT), 4);
}

TEST_F(DiagsTest, ImagesThatCannotBeBootedReturnZero)
{
    Bytes bad_crc = rescue_image(IMAGE_DIAGS);
    bad_crc[500] ^= 1;
    Bytes too_long = rescue_image(IMAGE_DIAGS);
    put_be32(&too_long[4], 10u << 20);  // larger than the partition
    struct Case {
        const char* what;
        Bytes image;
        bool unreadable;
        const char* error;
    };
    const Case cases[] = {
        {"crc", bad_crc, false, "Image CRC failed. Quitting\n"},
        {"longer than the partition", too_long, false, "Image header corrupt. Quitting\n"},
        {"unreadable partition", rescue_image(IMAGE_DIAGS), true, "Image not found... \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh_board();
        fake::load_partition(RESCUE, 0, c.image);
        b().part(RESCUE).fail_read_at = c.unreadable ? 1 : 0;
        CaptureStderr();
        EXPECT_EQ(extract_image_from_flash(), 0);
        EXPECT_EQ(GetCapturedStderr(), c.error);
        EXPECT_EQ(fs::file_size(TARBALL), 0u);
        EXPECT_TRUE(b().i2c_log.empty());
    }
}

}  // namespace
