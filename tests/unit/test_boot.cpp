#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "boot_road.hpp"
#include "launcher/launch.hpp"

using namespace bladeboot;

using namespace boot_road;

namespace {

const std::string one = "image one payload";
const std::string two = "image two payload";

class Boot : public BootRoadTest {
protected:
    Outcome boot()
    {
        return run([]() -> int { boot_main(); });
    }
    void stick_ready() { write_file("/tmp/usb", ""); }
};

TEST(Signal, CtrlCOnlyRaisesTheFlagAndInterruptsReads)
{
    sig_quit_raised = 0;
    ASSERT_EQ(sig_init(), 0);
    struct sigaction installed {};
    sigaction(SIGINT, nullptr, &installed);
    EXPECT_EQ(installed.sa_flags & SA_RESTART, 0) << "a blocked console read must end";
    std::raise(SIGINT);
    EXPECT_EQ(sig_quit_raised, 1);
    std::signal(SIGINT, SIG_DFL);
}

TEST_F(Boot, ResetSleepsRebootsAndExitsZeroEvenWhenNoShellStarts)
{
    for (int status : {0, 1, -1}) {
        SetUp();
        b().system_result = status;
        const Outcome o = run([]() -> int { board_reset(); });
        EXPECT_EQ(o.exit_status, 0);
        EXPECT_EQ(b().commands, std::vector<std::string>{"reboot"});
        EXPECT_EQ(b().sleeps_us, std::vector<uint64_t>{1000000});
        EXPECT_EQ(o.err, status < 0 ? "System reboot failed, please power-cycle.\n" : "");
    }
}

TEST_F(Boot, PreferredSlotComesFromTheEeprom)
{
    for (int stored : {0, 1, 2, 3, 255}) {
        SCOPED_TRACE(stored);
        SetUp();
        write_file(SLOT1_PATH, app(one));
        write_file(SLOT2_PATH, app(two));
        b().eeprom.mem[EEPROM_PREFERRED_SLOT] = static_cast<uint8_t>(stored);
        sig_quit_raised = 1;
        const Outcome o = boot();
        ASSERT_TRUE(o.exec) << o.err;
        const int slot = stored == 2 ? 2 : 1;
        EXPECT_EQ(o.out, "Booting image '" + std::to_string(slot) + "'\n");
        EXPECT_EQ(read_file(APP_TARBALL), slot == 1 ? one : two);
        EXPECT_EQ(booted_slot(), slot);
        EXPECT_EQ(sig_quit_raised, 1) << "nothing on the boot road clears Ctrl-C";
        ASSERT_GE(b().commands.size(), 2u);
        EXPECT_EQ(b().commands[0], "/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
        EXPECT_EQ(b().commands[1], "/usr/bin/find /user > /dev/null");
    }
}

TEST_F(Boot, OnlyTheExactUsbByteWakesTheStick)
{
    for (int stored : {0, 212, 214, 255}) {
        SetUp();
        write_file(SLOT1_PATH, app(one));
        stick_ready();
        write_file(USB_IMAGE_PATH, app("usb payload"));
        b().eeprom.mem[EEPROM_USB_BOOT] = static_cast<uint8_t>(stored);
        const Outcome o = boot();
        EXPECT_EQ(o.out, "Booting image '1'\n");
        // The booted-slot write and the launch; usb_mount never waited.
        EXPECT_EQ(b().sleeps_us, (std::vector<uint64_t>{100000, 1000000}));
    }
}

TEST_F(Boot, UsbRequestWithoutStickFallsBackSilently)
{
    write_file(SLOT1_PATH, app(one));
    b().eeprom.mem[EEPROM_USB_BOOT] = USB_BOOT_REQUESTED;
    const Outcome o = boot();
    ASSERT_TRUE(o.exec);
    EXPECT_EQ(usb_boot_enabled, 0);
    EXPECT_FALSE(contains(o.out, "USB stick") || contains(o.out, "USB Boot failed"));
    EXPECT_TRUE(o.out.ends_with("Booting image '1'\n"));
}

TEST_F(Boot, UsbImageBootsFromTheStickOrFallsBackToFlash)
{
    b().eeprom.mem[EEPROM_USB_BOOT] = USB_BOOT_REQUESTED;
    write_file(SLOT1_PATH, app(one));
    stick_ready();
    write_file(USB_IMAGE_PATH, app("usb payload"));
    Outcome o = boot();
    ASSERT_TRUE(o.exec);
    EXPECT_TRUE(contains(o.out, "Booting image 'KVL7730_OS.img' from USB stick.\n"));
    EXPECT_EQ(read_file(APP_TARBALL), "usb payload");
    EXPECT_EQ(booted_slot(), 3);

    SetUp();
    b().eeprom.mem[EEPROM_USB_BOOT] = USB_BOOT_REQUESTED;
    write_file(SLOT1_PATH, app(one));
    stick_ready();
    write_file(USB_IMAGE_PATH, corrupt(app("usb payload")));
    o = boot();
    ASSERT_TRUE(o.exec);
    EXPECT_EQ(o.err, "USB image CRC failed.");
    EXPECT_TRUE(o.out.ends_with("USB Boot failed. Trying flash images.\nBooting image '1'\n"));
    EXPECT_EQ(booted_slot(), 1);
}

TEST_F(Boot, SlotReplacedFromTheStickIsBootedWhateverTheEepromPrefers)
{
    b().eeprom.mem[EEPROM_PREFERRED_SLOT] = 1;
    b().eeprom.mem[EEPROM_USB_BOOT] = USB_BOOT_REQUESTED;
    write_file(SLOT1_PATH, app(one));
    stick_ready();
    write_file("/mnt/usb/KVL7730_replace2_OS.img", app(two));
    const Outcome o = boot();
    ASSERT_TRUE(o.exec) << o.out << o.err;
    EXPECT_TRUE(o.out.ends_with("Booting image '2'\n"));
    EXPECT_EQ(read_file(APP_TARBALL), two);
    EXPECT_EQ(booted_slot(), 2);
}

TEST_F(Boot, RescueAndDiagnosticsRequestsComeFirstThenTheBootGoesOn)
{
    write_file(SLOT1_PATH, app(one));
    rescue_enable = 1;
    b().console.type("E");
    Outcome o = boot();
    ASSERT_TRUE(o.exec);
    EXPECT_TRUE(b().console.keys.empty());
    EXPECT_TRUE(o.out.ends_with("Booting image '1'\n"));

    SetUp();
    write_file(SLOT1_PATH, app(one));
    standalone_diags = 1;
    b().console.type("n");  // keep the user partition
    o = boot();
    ASSERT_TRUE(o.exec);
    EXPECT_TRUE(b().console.keys.empty());
    EXPECT_TRUE(o.out.ends_with("Booting image '1'\n"));
}

struct Ending {
    const char* name;
    std::optional<Bytes> slot1, slot2;
    bool tarball_blocked;
    std::string err;
    std::string boots;  // the sequence's own lines
    bool rescue;
};

void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

class FinalFailure : public Boot, public testing::WithParamInterface<Ending> {};

TEST_P(FinalFailure, EndsAsTheLastFailureDecides)
{
    const Ending& e = GetParam();
    if (e.slot1) write_file(SLOT1_PATH, *e.slot1);
    if (e.slot2) write_file(SLOT2_PATH, *e.slot2);
    if (e.tarball_blocked) std::filesystem::create_directories(APP_TARBALL);
    shell_enable = 1;
    b().console.type("E");  // leaves a real rescue menu; stays unread otherwise

    const Outcome o = boot();
    ASSERT_TRUE(o.rebooted());
    EXPECT_EQ(o.err, e.err);
    EXPECT_TRUE(o.out.starts_with(e.boots)) << o.out;
    EXPECT_EQ(o.out.find("Booting image", e.boots.size()), std::string::npos);
    EXPECT_EQ(b().console.keys.empty(), e.rescue);
    ASSERT_GE(b().commands.size(), 2u);
    EXPECT_EQ(b().commands[b().commands.size() - 2], "/bin/sh\n");
    EXPECT_EQ(b().commands.back(), "reboot");
    EXPECT_EQ(booted_slot(), 0xFF);
}

const Bytes good = app(one);
const Bytes bad = corrupt(app(two));
const Bytes none = image(IMAGE_KERNEL, "kernel only");
const std::string first = "Booting image '1'\n";
const std::string both = "Booting image '1'\nBooting image '2'\n";

INSTANTIATE_TEST_SUITE_P(
    Roads, FinalFailure,
    testing::Values(
        Ending{"BothMissing", std::nullopt, std::nullopt, false,
               "Failed to open Application image 1. Trying image 2.\nFailed to open Application image 2.\n", first,
               true},
        Ending{"CrcBoth", bad, bad, false, "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n",
               both, false},
        Ending{"NoneThenCrc", none, bad, false,
               "Image has invalid header 0x3504754. (0x6504754)\nImage1 has invalid header... trying Image2.\n"
               "Both image1 and image2 failed.\n",
               both, false},
        Ending{"CrcThenNone", bad, none, false,
               "Image1 CRC failed, trying Image2 now.\nNo valid application image found. Trying rescue image\n", both,
               true},
        Ending{"SecondMissingReopensFirst", bad, std::nullopt, false,
               "Image1 CRC failed, trying Image2 now.\nFailed to open Application image 2. Trying image 1.\n"
               "Both image1 and image2 failed.\n",
               both, false},
        Ending{"FirstMissingSecondBadTriedTwice", std::nullopt, bad, false,
               "Failed to open Application image 1. Trying image 2.\nImage2 CRC failed, trying Image1 now.\n"
               "Both image1 and image2 failed.\n",
               both, false},
        Ending{"TarballBlocked", good, good, true, "Failed to open application image output file.\n", first, false}),
    [](const testing::TestParamInfo<Ending>& p) { return std::string(p.param.name); });

}  // namespace
