#include <cstdlib>

#include "launcher/diags.hpp"
#include "launcher/launch.hpp"
#include "launcher/slot_file.hpp"
#include "support.hpp"

using namespace unit;
namespace fs = std::filesystem;
using Commands = std::vector<std::string>;

namespace {

using Launch = BoardTest;

}  // namespace

TEST_F(Launch, EnvironmentFileFollowsTheInstallScriptInTokensOf511)
{
    setenv("Y", "old", 1);
    write_file("/tmp/home/bin/install.sh", ""), write_file("/tmp/home/bin/distro-id", "");
    write_file("/tmp/home/bin/env-setup", "X 1\nY\t2\n LONG " + std::string(600, 'v') + " NEXT Z");
    ASSERT_TRUE(run([&]() -> int { launch_image(st, 0); }).exec);
    // The cut token's rest pairs with what follows.
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"X", "1"}, {"Y", "2"}, {"LONG", std::string(511, 'v')}, {std::string(89, 'v'), "NEXT"}, {"Z", ""}}) {
        EXPECT_STREQ(std::getenv(name.c_str()), value.c_str()) << name;
        unsetenv(name.c_str());
    }
}

TEST_F(Launch, GdbComesFromTheOtherSlotsPayload)
{
    write_file(SLOT1_PATH, app("gzip bytes") + app("not this"));
    Outcome o = run([] { return extract_gdb(2); });
    EXPECT_EQ(std::pair(o.result, read_file("/tmp/gdb.gz")), std::pair(1, std::string("gzip bytes")));
    EXPECT_EQ(o.out, "Extracting GDB from image slot 1\nFound GDB image 1 of length = 10.\ndecompressing GDB....\n");
    EXPECT_EQ(b().commands, (Commands{"gunzip /tmp/gdb.gz", "chmod +x /tmp/gdb"}));
    const Bytes extended = image(IMAGE_APPLICATION, "gz", bladeimg::Kind::extended);
    for (const auto& [slot2, magic] :
         {std::pair{extended, "0x81504754"}, {image(IMAGE_KERNEL, "gz"), "0x3504754"}, {Bytes(12, 0), "0x0"}}) {
        SetUp();
        write_file(SLOT2_PATH, slot2);
        o = run([] { return extract_gdb(1); });
        EXPECT_EQ(std::tuple(o.result, o.err, b().commands.size()),
                  std::tuple(0, "Image has invalid header " + std::string(magic) + "\n", 0u));
    }
    EXPECT_EQ(run([] { return extract_gdb(3); }).out, "") << "nothing to take for the stick";
}

// Rescue partition images: booted, installed, or refused with the partition
// or the tarball untouched; diagnostics that do not erase a user filesystem
// that stays mounted.
TEST_F(Launch, RescueImageEndsAsItsCheckAndTheAnswerDecide)
{
    b().console.type("y");
    b().system_result = 1;
    const Outcome dg = run([&] { return run_standalone_diags(st); });
    EXPECT_TRUE(has(dg.out, "y/N: \nunmount filesystem\nCannot unmount /user: filesystem not erased.\nBooting diags"));
    EXPECT_EQ(b().commands, Commands{"/bin/umount /user &> /dev/null"});
    const Bytes d = image(IMAGE_DIAGS, "d"), recovery = app("recovery tarball");
    Bytes too_long = d;
    put_be32(&too_long[4], 10u << 20);  // larger than the partition
    const struct {
        Bytes image;
        const char* answer;
        int fail_read_at, preferred, booted;
        std::string says;  // standard error when refused
    } cases[] = {
        {recovery, "2\n", 0, 2, 2, "\nInstalling recovery image as image2...\nSetting boot image to 2\n"},
        {recovery, "\n", 0, 0xFF, 4, "\nBooting recovery image. You will need to download and install an image"},
        {recovery, "", 0, 0xFF, 0xFF, "(hit return to just boot image): "},
        {corrupt(d), "", 0, 0xFF, 0xFF, "Image CRC failed. Quitting\n"},
        {too_long, "", 0, 0xFF, 0xFF, "Image header corrupt. Quitting\n"},
        {d, "", 1, 0xFF, 0xFF, "Image not found... \n"},
        {d, "", 2, 0xFF, 0xFF, "Image read failed. Quitting\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        SetUp();
        fake::load_partition("/dev/mtd-rescue", 0, c.image);
        b().part("/dev/mtd-rescue").fail_read_at = c.fail_read_at;
        b().console.type(c.answer);
        const Outcome o = run([&] { return extract_image_from_flash(st); });
        const bool boots = c.image == recovery;
        EXPECT_TRUE(has(boots ? o.out : o.err, c.says));
        EXPECT_EQ(std::tuple(o.exec.has_value(), o.result, read_file(APP_TARBALL)),
                  std::tuple(boots, boots ? -1 : 0, std::string(boots ? "recovery tarball" : "")));
        EXPECT_EQ(std::tuple(eeprom(EEPROM_PREFERRED_SLOT), eeprom(EEPROM_BOOTED_SLOT), fs::exists(SLOT1_PATH),
                             fs::exists(SLOT2_PATH)),
                  std::tuple(c.preferred, c.booted, false, c.preferred == 2));
    }
    SetUp();
    fake::load_partition("/dev/mtd-rescue", 0, d);
    fs::create_symlink("/dev/full", APP_TARBALL);
    const Outcome o = run([&] { return extract_image_from_flash(st); });
    EXPECT_TRUE(o.rebooted() && o.err == "Failed to open AppOS tarfile.\n") << "a short tarball is not launched";
}
