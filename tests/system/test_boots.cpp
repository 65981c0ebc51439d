// Whole boots of the sample board through bladesim: the launcher, busybox
// and the fake platform commands together, checked by what the operator
// sees, what ran, how the run ended and what the board keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "bladeimg/image_builder.hpp"
#include "board.hpp"
#include "board_run.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

using systest::app_line;
using systest::Board;
using systest::contains;
using systest::Result;

namespace {

constexpr size_t PREFERRED = bladesim::EEPROM_PREFERRED;
constexpr size_t BOOTED = bladesim::EEPROM_BOOTED;
constexpr size_t USBBOOT = bladesim::EEPROM_USBBOOT;

const std::string MOUNT_USER = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user";
const std::string FIND_USER = "/usr/bin/find /user > /dev/null";
const std::string UNPACK = "cd /tmp \\ntar mxzf /tmp/torasimage.tar.gz \\nrm /tmp/torasimage.tar.gz\\n";
const std::string INSTALL_SH = "/tmp/home/bin/install.sh";
const std::string EXEC_BACKTRACE = "exec /bin/backtrace";
const std::vector<std::string> PLAIN_BOOT{MOUNT_USER, FIND_USER, UNPACK, INSTALL_SH, EXEC_BACKTRACE};

std::vector<uint8_t> kernel_image() { return bladesim::sample_system_image(IMAGE_KERNEL); }

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool has(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void expect_application(const Board& board, const Result& run, int slot)
{
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(board.outcome(), "application");
    EXPECT_TRUE(contains(run.out, "bladesim: application started\n" + app_line(slot))) << run.out;
    EXPECT_EQ(board.eeprom(BOOTED), slot);
}

void expect_reboot(const Board& board, const Result& run)
{
    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_EQ(board.outcome(), "reboot");
    ASSERT_FALSE(board.commands().empty());
    EXPECT_EQ(board.commands().back(), "reboot");
    EXPECT_FALSE(contains(run.out, "application started"));
}

}  // namespace

// --- slot choice -----------------------------------------------------------

struct SlotCase {
    uint8_t preferred;
    int booted;
};

void PrintTo(const SlotCase& c, std::ostream* os) { *os << "preferred " << int{c.preferred}; }

class SlotChoice : public testing::TestWithParam<SlotCase> {};

TEST_P(SlotChoice, PreferredSlotIsBootedAndRecorded)
{
    const SlotCase c = GetParam();
    Board board;
    board.set_eeprom(PREFERRED, c.preferred);

    const Result run = board.boot();

    expect_application(board, run, c.booted);
    EXPECT_TRUE(contains(run.out, "Booting image '" + std::to_string(c.booted) + "'\n"));
    EXPECT_EQ(board.commands(), PLAIN_BOOT);
    EXPECT_EQ(board.eeprom(PREFERRED), c.preferred);
    EXPECT_EQ(board.eeprom(USBBOOT), 0);
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Eeprom, SlotChoice,
                         testing::Values(SlotCase{1, 1}, SlotCase{2, 2}, SlotCase{0, 1}, SlotCase{3, 1},
                                         SlotCase{255, 1}),
                         [](const testing::TestParamInfo<SlotCase>& p) {
                             return "Preferred" + std::to_string(p.param.preferred);
                         });

// --- fall-back to the other slot ---------------------------------------------

struct FallbackCase {
    const char* name;
    uint8_t preferred;
    std::function<void(const Board&)> damage;
    const char* report;  // standard error
    int booted;
};

void PrintTo(const FallbackCase& c, std::ostream* os) { *os << c.name; }

class Fallback : public testing::TestWithParam<FallbackCase> {};

TEST_P(Fallback, OtherSlotBoots)
{
    const FallbackCase& c = GetParam();
    Board board;
    board.set_eeprom(PREFERRED, c.preferred);
    c.damage(board);

    const Result run = board.boot();

    expect_application(board, run, c.booted);
    EXPECT_TRUE(contains(run.err, c.report)) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Slots, Fallback,
    testing::Values(FallbackCase{"Slot1Crc", 1, [](const Board& b) { b.damage_slot(1); },
                                 "Image1 CRC failed, trying Image2 now.\n", 2},
                    FallbackCase{"Slot2Crc", 2, [](const Board& b) { b.damage_slot(2); },
                                 "Image2 CRC failed, trying Image1 now.\n", 1},
                    FallbackCase{"Slot1Missing", 1,
                                 [](const Board& b) { std::filesystem::remove(b.path("user/images/image1")); },
                                 "Failed to open Application image 1. Trying image 2.\n", 2},
                    FallbackCase{"Slot1KernelOnly", 1,
                                 [](const Board& b) { b.write("user/images/image1", kernel_image()); },
                                 "Image1 has invalid header... trying Image2.\n", 2}),
    [](const testing::TestParamInfo<FallbackCase>& p) { return std::string(p.param.name); });

TEST(Fallback, KernelBeforeApplicationInOneSlotIsSkipped)
{
    Board board;
    board.write("user/images/image1", concat(kernel_image(), bladesim::sample_application_image(1)));

    const Result run = board.boot();

    expect_application(board, run, 1);
    EXPECT_EQ(run.err, "");
}

// --- nothing left to boot ------------------------------------------------------

TEST(NothingToBoot, BothCrcsBadRebootsWithoutRescueMenu)
{
    Board board;
    board.damage_slot(1);
    board.damage_slot(2);

    const Result run = board.boot();

    expect_reboot(board, run);
    EXPECT_TRUE(contains(run.err, "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n"))
        << run.err;
    EXPECT_FALSE(contains(run.out, "Rescue Mode"));
    EXPECT_EQ(board.eeprom(BOOTED), 0);
    EXPECT_TRUE(contains(board.platform_log(), "reboot"));
}

TEST(NothingToBoot, ShellIsOfferedBeforeTheReboot)
{
    Board board;
    board.damage_slot(1);
    board.damage_slot(2);
    board.setenv({"shell=on"});

    const Result run = board.boot();

    expect_reboot(board, run);
    const auto commands = board.commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2], "/bin/sh\\n");
}

struct NoImageCase {
    const char* name;
    std::function<void(const Board&)> setup;
    const char* report;
};

void PrintTo(const NoImageCase& c, std::ostream* os) { *os << c.name; }

class NoImage : public testing::TestWithParam<NoImageCase> {};

TEST_P(NoImage, RescueMenuThenReboot)
{
    const NoImageCase& c = GetParam();
    Board board;
    c.setup(board);

    const Result run = board.boot("e");

    expect_reboot(board, run);
    EXPECT_TRUE(contains(run.err, c.report)) << run.err;
    EXPECT_TRUE(contains(run.out, "Entering Rescue Mode.\n")) << run.out;
    EXPECT_EQ(board.eeprom(BOOTED), 0);
}

INSTANTIATE_TEST_SUITE_P(Slots, NoImage,
                         testing::Values(NoImageCase{"NoApplicationImage",
                                                     [](const Board& b) {
                                                         b.write("user/images/image1", kernel_image());
                                                         b.write("user/images/image2", kernel_image());
                                                     },
                                                     "No valid application image found. Trying rescue image\n"},
                                         NoImageCase{
                                             "NoSlotFiles",
                                             [](const Board& b) { std::filesystem::remove_all(b.path("user/images")); },
                                             "Failed to open Application image 1. Trying image 2.\n"
                                             "Failed to open Application image 2.\n"}),
                         [](const testing::TestParamInfo<NoImageCase>& p) { return std::string(p.param.name); });

// --- launch modes from the environment ---------------------------------------------

struct ModeCase {
    const char* name;
    std::vector<std::string> env;
    std::string command;  // as logged
    const char* outcome;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class LaunchMode : public testing::TestWithParam<ModeCase> {};

TEST_P(LaunchMode, StartsTheApplicationAsAsked)
{
    const ModeCase& c = GetParam();
    Board board;
    board.setenv(c.env);

    const Result run = board.boot();

    EXPECT_EQ(board.outcome(), c.outcome) << run.out << run.err;
    const auto commands = board.commands();
    EXPECT_TRUE(has(commands, c.command)) << testing::PrintToString(commands);
    // Every mode runs the program itself; the debug and memory-check modes
    // reboot once it has ended.
    EXPECT_TRUE(contains(run.out, app_line(1))) << run.out;
    EXPECT_EQ(board.eeprom(BOOTED), 1);
    if (std::string(c.outcome) == "reboot") {
        EXPECT_EQ(commands.back(), "reboot");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Environment, LaunchMode,
    testing::Values(
        ModeCase{"Plain", {"gdb=off", "memchk=ON"}, EXEC_BACKTRACE, "application"},
        ModeCase{"GdbServer", {"gdbserver=on"}, "/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\\n", "reboot"},
        ModeCase{"GdbServerPort",
                 {"gdbserver=on", "gdbport=4321"},
                 "/bin/gdbserver :4321 /tmp/home/bin/mp.elf.strip\\n",
                 "reboot"},
        ModeCase{"GdbServerMemchk",
                 {"gdbserver=on", "memchk=on"},
                 "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\\n",
                 "reboot"},
        ModeCase{"Memchk", {"memchk=on"}, "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\\n", "reboot"},
        ModeCase{"Shell", {"shell=on"}, "/bin/sh\\n", "application"}),
    [](const testing::TestParamInfo<ModeCase>& p) { return std::string(p.param.name); });

TEST(LaunchMode, ShellComesBetweenInstallScriptAndStart)
{
    Board board;
    board.setenv({"shell=on"});

    const Result run = board.boot();

    EXPECT_TRUE(contains(run.out, "Dropping into shell\nDropping out of shell\nbladesim: application started\n"))
        << run.out;
    const auto commands = board.commands();
    ASSERT_EQ(commands.size(), 6u) << testing::PrintToString(commands);
    EXPECT_EQ(commands[3], INSTALL_SH);
    EXPECT_EQ(commands[4], "/bin/sh\\n");
}

TEST(LaunchMode, GdbWithoutDebuggerImageStartsPlainly)
{
    Board board;
    board.setenv({"gdb=on"});
    std::filesystem::remove(board.path("user/images/image2"));

    const Result run = board.boot();

    expect_application(board, run, 1);
    EXPECT_TRUE(contains(run.err, "Failed to open GDB image (from slot 2)\n")) << run.err;
    EXPECT_TRUE(contains(run.out, "**** GDB mode selected but GDB not available. Please install GDB image ***\n"));
    EXPECT_EQ(board.commands().back(), EXEC_BACKTRACE);
}

// --- diagnostics from the environment ----------------------------------------------

TEST(Diagnostics, DiagsImageRunsInPlaceOfTheApplication)
{
    Board board;
    board.setenv({"diagnostics=diags"});

    const Result run = board.boot("n");

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(board.outcome(), "application");
    EXPECT_TRUE(contains(run.out,
                         "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: \n"
                         "Booting diags image...\nLaunching diagnostics image\n"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "install diags image\n"));
    EXPECT_TRUE(contains(run.out, "bladesim: application started\nsample diagnostics 1.0.0.0 running\n")) << run.out;
    EXPECT_EQ(board.commands(),
              (std::vector<std::string>{MOUNT_USER, FIND_USER, UNPACK, "mkdir -p /tmp/home/bin",
                                        "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip", EXEC_BACKTRACE}));
    EXPECT_EQ(board.eeprom(BOOTED), 4);
    EXPECT_FALSE(board.read("user/images/image1").empty());
}

TEST(Diagnostics, YesErasesTheUserPartitionFirst)
{
    Board board;
    board.setenv({"diagnostics=diags"});

    const Result run = board.boot("y");

    EXPECT_EQ(board.outcome(), "application") << run.out << run.err;
    const auto commands = board.commands();
    const std::vector<std::string> rebuild{"/bin/umount /user &> /dev/null", "flash_eraseall /dev/mtd-user-char",
                                           "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
                                           "mkdir /user/images &> /dev/null"};
    ASSERT_GE(commands.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(commands.begin() + 2, commands.begin() + 6), rebuild);
    EXPECT_TRUE(std::filesystem::is_directory(board.path("user/images")));
    EXPECT_TRUE(std::filesystem::is_empty(board.path("user/images")));
    EXPECT_EQ(board.eeprom(BOOTED), 4);
}

TEST(Diagnostics, ErasedRescuePartitionFallsBackToTheSlots)
{
    Board board;
    board.setenv({"diagnostics=diags"});
    board.write("flash/rescue.bin", std::vector<uint8_t>(10u << 20, 0xFF));

    const Result run = board.boot("n");

    expect_application(board, run, 1);
    EXPECT_TRUE(contains(run.err, "Image not found... \n")) << run.err;
}

// --- rescue menu --------------------------------------------------------------------

TEST(RescueMenu, VersionDisplayThenExitBootsTheSlot)
{
    Board board;
    board.setenv({"diagnostics=rescue"});

    const Result run = board.boot("ve");

    expect_application(board, run, 1);
    EXPECT_TRUE(contains(run.out,
                         "Option? : v\nInstalled images versions: \n"
                         "\tBoot image  : 1.0.0.0\n"
                         "\tRFS image   : 1.0.0.0\n"
                         "\tKernel image: 1.0.0.0\n"
                         "\tDFT image   : 1.0.0.0\n"
                         "\tOS image 1  : 1.0.0.1\n"
                         "\tOS image 2  : 1.0.0.2\n"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "Option? : e\nBooting image '1'\n")) << run.out;
}

TEST(RescueMenu, UnknownOptionIsRefusedAndRebootEndsTheRun)
{
    Board board;
    board.setenv({"diagnostics=rescue"});

    const Result run = board.boot("qr");

    expect_reboot(board, run);
    EXPECT_TRUE(contains(run.out, "unknown option \"Q\". Please try again\n")) << run.out;
}

TEST(RescueMenu, UsbInstallWritesTheKernelPartition)
{
    Board board;
    board.setenv({"diagnostics=rescue"});
    const auto kernel = bladeimg::make_image({IMAGE_KERNEL, 0x02000000}, std::vector<uint8_t>(70000, 0x5A));
    board.write("usb/kernel.img", kernel);

    const Result run = board.boot("u1\rve");

    expect_application(board, run, 1);
    EXPECT_TRUE(contains(run.out, "\tKernel image: 2.0.0.0\n")) << run.out;
    const auto flash = board.read("flash/kernel.bin");
    ASSERT_EQ(flash.size(), 3u << 20);
    EXPECT_TRUE(std::equal(kernel.begin(), kernel.end(), flash.begin()));
    // Whole erase blocks were rewritten: what follows the image reads erased.
    EXPECT_TRUE(std::all_of(flash.begin() + static_cast<long>(kernel.size()), flash.end(),
                            [](uint8_t byte) { return byte == 0xFF; }));
}

// --- USB stick ------------------------------------------------------------------------

TEST(UsbBoot, StickImageBootsOnceThenAsks)
{
    Board board;
    board.set_eeprom(USBBOOT, 213);
    board.write("usb/KVL7730_OS.img", bladesim::sample_application_image(3));

    const Result first = board.boot();

    expect_application(board, first, 3);
    EXPECT_TRUE(contains(first.out, "USB mounted and ready!\n")) << first.out;
    EXPECT_TRUE(contains(first.out, "Booting image 'KVL7730_OS.img' from USB stick.\n")) << first.out;
    ASSERT_TRUE(std::filesystem::is_directory(board.path("user/images/rejected")));
    const auto markers = std::distance(std::filesystem::directory_iterator(board.path("user/images/rejected")),
                                       std::filesystem::directory_iterator());
    EXPECT_EQ(markers, 1);

    const Result second = board.boot("n\n");

    expect_application(board, second, 1);
    EXPECT_TRUE(contains(second.out, "USB image is in rejected list.\nWould you still like to load it? (y/n) "))
        << second.out;
    EXPECT_TRUE(contains(second.out, "USB Boot failed. Trying flash images.\n")) << second.out;
}

TEST(UsbBoot, NoStickTimesOutToTheFlashSlots)
{
    Board board;
    board.set_eeprom(USBBOOT, 213);

    const Result run = board.boot();

    expect_application(board, run, 1);
    EXPECT_TRUE(contains(run.out, "USB mount timed out")) << run.out;
}

TEST(UsbBoot, OtherByteValuesLeaveTheStickAlone)
{
    Board board;
    board.set_eeprom(USBBOOT, 212);
    board.write("usb/KVL7730_OS.img", bladesim::sample_application_image(3));

    const Result run = board.boot();

    expect_application(board, run, 1);
    EXPECT_FALSE(contains(run.out, "USB"));
}

TEST(UsbBoot, BothReplacementsInstallSlot2ThenSlot1AndSlot1Boots)
{
    Board board;
    board.set_eeprom(USBBOOT, 213);
    board.set_eeprom(PREFERRED, 2);
    const auto for_slot2 = bladesim::sample_application_image(6);
    const auto for_slot1 = bladesim::sample_application_image(7);
    board.write("usb/KVL7730_replace2_OS.img", for_slot2);
    board.write("usb/KVL7730_replace1_OS.img", for_slot1);

    const Result run = board.boot();

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(board.outcome(), "application");
    const size_t second = run.out.find("Image2 has been successfully replaced\n");
    const size_t first = run.out.find("Image1 has been successfully replaced\n");
    ASSERT_NE(second, std::string::npos) << run.out;
    ASSERT_NE(first, std::string::npos) << run.out;
    EXPECT_LT(second, first);
    EXPECT_TRUE(contains(run.out, "USB replacement image: board will boot with image1.\nBooting image '1'\n"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "sample application 1.0.0.7 (image7) running")) << run.out;
    EXPECT_EQ(board.read("user/images/image2"), for_slot2);
    EXPECT_EQ(board.read("user/images/image1"), for_slot1);
    // The last install sets the preference; the slot booted is recorded.
    EXPECT_EQ(board.eeprom(PREFERRED), 1);
    EXPECT_EQ(board.eeprom(BOOTED), 1);
}

TEST(UsbBoot, BootLoaderPackageAlreadyInstalledCausesNoReboot)
{
    Board board;
    board.set_eeprom(USBBOOT, 213);
    const auto uboot_before = board.read("flash/uboot.bin");
    board.write("usb/KVL7730_Boot.img",
                bladeimg::make_image({IMAGE_UBOOT, bladesim::SAMPLE_SYSTEM_VERSION}, bladesim::sample_uboot_payload()));

    const Result run = board.boot();

    expect_application(board, run, 1);
    EXPECT_TRUE(contains(run.out, "Boot image found on USB.\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "Image has same version as existing image. Skipping update...\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "ERROR: No valid image found\n")) << run.out;
    EXPECT_FALSE(has(board.commands(), "reboot"));
    EXPECT_EQ(board.read("flash/uboot.bin"), uboot_before);
}

TEST(UsbBoot, NewBootLoaderPackageIsInstalledThenTheBoardReboots)
{
    Board board;
    board.set_eeprom(USBBOOT, 213);
    std::vector<uint8_t> payload = bladesim::sample_uboot_payload();
    payload[0] = 'B';  // another boot loader, same size, carrying its own header
    put_be32(&payload[240 + 12], 0x01000001);
    board.write("usb/KVL7730_Boot.img", bladeimg::make_image({IMAGE_UBOOT, 0x01000001}, payload));

    const Result run = board.boot();

    expect_reboot(board, run);
    const auto uboot = board.read("flash/uboot.bin");
    ASSERT_GE(uboot.size(), payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), uboot.begin()));
}
