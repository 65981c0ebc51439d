#include <cstdlib>

#include "launcher/diags.hpp"
#include "launcher/launch.hpp"
#include "launcher/slot_file.hpp"
#include "support.hpp"

using namespace unit;
namespace fs = std::filesystem;

namespace {

const std::string unpack = "cd /tmp \ntar mxzf /tmp/torasimage.tar.gz \nrm /tmp/torasimage.tar.gz\n";
const std::string exe = "/tmp/home/bin/mp.elf.strip";
constexpr char RESCUE[] = "/dev/mtd-rescue";

class Launch : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        write_file("/tmp/home/bin/distro-id", "");
        for (const char* name : {"X", "Y", "Z", "LONG", "NEXT"}) unsetenv(name);
    }
    Outcome launch(uint8_t diags = 0)
    {
        return run([&]() -> int { launch_image(st, diags); });
    }
    Outcome from_flash()
    {
        return run([&] { return extract_image_from_flash(st); });
    }
};

}  // namespace

TEST_F(Launch, StartModeFollowsTheFlagsInOrder)
{
    const struct {
        int gdbserver, gdb, memchk;
        bool have_gdb;
        std::string command;  // empty: the plain start
        std::string printed;
    } cases[] = {
        {0, 1, 1, true, "/tmp/gdb " + exe, "*** Launching under GDB ***\n"},
        {0, 0, 0, true, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command + c.printed);
        SetUp();
        st.gdbserver_enable = c.gdbserver;
        st.gdb_enable = c.gdb;
        st.memchk_enable = static_cast<uint8_t>(c.memchk);
        st.gdbport = 4321;
        if (c.have_gdb) write_file("/tmp/gdb", "");
        const Outcome o = launch();
        EXPECT_EQ(o.out, c.printed);
        EXPECT_EQ(st.i2c.i2c_file[0], 0) << "the buses are the application's";
        if (c.command.empty()) {
            ASSERT_TRUE(o.exec);
            EXPECT_EQ(o.exec->file + o.exec->arg0, "/bin/backtrace/bin/backtrace");
            EXPECT_EQ(b().commands, std::vector<std::string>{unpack});
        } else {
            EXPECT_TRUE(o.rebooted());
            EXPECT_EQ(b().commands, (std::vector<std::string>{unpack, c.command, "reboot"}));
        }
    }
}

TEST_F(Launch, DiagnosticsScriptEnvironmentAndShellComeBeforeTheStart)
{
    setenv("Y", "old", 1);
    write_file("/tmp/home/bin/install.sh", "");
    write_file("/tmp/home/bin/env-setup", "X 1\nY\t2\n LONG " + std::string(600, 'v') + " NEXT Z");
    st.shell_enable = 1;
    const Outcome o = launch(1);
    ASSERT_TRUE(o.exec);
    EXPECT_EQ(o.out, "install diags image\nRunning install script\nDropping into shell\nDropping out of shell\n");
    EXPECT_EQ(b().commands, (std::vector<std::string>{unpack, "mkdir -p /tmp/home/bin",
                                                      "mv /tmp/mpdiag.elf.strip " + exe, "/tmp/home/bin/install.sh",
                                                      "/bin/sh\n"}));
    EXPECT_STREQ(std::getenv("X"), "1");
    EXPECT_STREQ(std::getenv("Y"), "2");
    // A token is cut after 511 characters; its rest pairs with what follows.
    EXPECT_EQ(std::getenv("LONG"), std::string(511, 'v'));
    EXPECT_STREQ(std::getenv(std::string(89, 'v').c_str()), "NEXT");
    EXPECT_STREQ(std::getenv("Z"), "");
    unsetenv(std::string(89, 'v').c_str());

    SetUp();
    write_file("/tmp/home/bin/env-setup", "X 1");
    ASSERT_TRUE(launch().exec);
    EXPECT_EQ(std::getenv("X"), nullptr) << "no install script, no environment file";
}

TEST_F(Launch, IncompatibleImageAsksOnceAndOnlyYesEntersRecovery)
{
    for (int key : std::initializer_list<int>{'Y', 'n', fake::INTERRUPT}) {
        SCOPED_TRACE(key);
        SetUp();
        fs::remove("/tmp/home/bin/distro-id");
        st.rescue_menu = [](BootState&) { return std::printf("[menu]"); };
        b().console.keys = {key};
        const Outcome o = launch();
        ASSERT_TRUE(o.exec);
        EXPECT_EQ(o.out, std::string("WARNING: Suspected incompatible application image detected during unpacking\n"
                                     "Would you like to enter recovery mode to download a new image? y/N: ") +
                             (key == 'y' || key == 'Y' ? "[menu]" : ""));
    }
}

TEST_F(Launch, FailuresToUnpackOrToStartReboot)
{
    b().exec_fails = true;
    Outcome o = launch();
    ASSERT_TRUE(o.rebooted());
    EXPECT_EQ(o.err, "Failed to start Application OS.\n");
    b().system_result = -1;  // no shell at all: the reboot cannot start either
    o = launch();
    EXPECT_EQ(o.err, "Failed to gunzip Application OS.\nSystem reboot failed, please power-cycle.\n");
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(b().sleeps_us.back(), 1000000u);
}

TEST_F(Launch, GdbComesFromTheOtherSlotsPayload)
{
    write_file(SLOT1_PATH, app("gzip bytes") + app("not this"));
    Outcome o = run([] { return extract_gdb(2); });
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), "gzip bytes");
    EXPECT_EQ(o.out, "Extracting GDB from image slot 1\nFound GDB image 1 of length = 10.\ndecompressing GDB....\n");
    EXPECT_EQ(b().commands, (std::vector<std::string>{"gunzip /tmp/gdb.gz", "chmod +x /tmp/gdb"}));

    const struct {
        std::optional<Bytes> slot2;
        std::string err;
    } cases[] = {
        {std::nullopt, "Failed to open GDB image (from slot 2)\n"},
        {image(IMAGE_APPLICATION, "gz", bladeimg::Kind::extended), "Image has invalid header 0x81504754\n"},
        {image(IMAGE_KERNEL, "gz"), "Image has invalid header 0x3504754\n"},
        {Bytes(12, 0), "Image has invalid header 0x0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        SetUp();
        if (c.slot2) write_file(SLOT2_PATH, *c.slot2);
        o = run([] { return extract_gdb(1); });
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.err, c.err);
        EXPECT_TRUE(b().commands.empty());
    }
    EXPECT_EQ(run([] { return extract_gdb(3); }).out, "") << "nothing to take for the stick";
}

TEST_F(Launch, OnlyYesErasesTheUserFilesystemAndNotWhileMounted)
{
    const std::vector<std::string> erase = {"/bin/umount /user &> /dev/null", "flash_eraseall /dev/mtd-user-char",
                                            "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
                                            "mkdir /user/images &> /dev/null"};
    for (const char* keys : {"Y", ""}) {
        SCOPED_TRACE(keys);
        SetUp();
        // A kernel is no rescue image: the erase still comes first.
        fake::load_partition(RESCUE, 0, image(IMAGE_KERNEL, "k"));
        b().console.type(keys);
        const Outcome o = run([&] { return run_standalone_diags(st); });
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.err, "Image not found... \n");
        const bool yes = std::toupper(keys[0]) == 'Y';
        EXPECT_TRUE(o.out.ends_with(yes ? "filesystem\nBooting diags image...\n" : "y/N: \nBooting diags image...\n"));
        EXPECT_EQ(b().commands, yes ? erase : std::vector<std::string>{});
    }
    b().console.type("y");
    b().system_result = 1;
    const Outcome o = run([&] { return run_standalone_diags(st); });
    EXPECT_TRUE(has(o.out, "unmount filesystem\nCannot unmount /user: filesystem not erased.\nBooting diags"));
    EXPECT_EQ(b().commands, std::vector<std::string>{erase[0]});
}

TEST_F(Launch, RescueImagesBootAsDiagnosticsOrAsRecovery)
{
    const Bytes diags = image(IMAGE_DIAGS, "diagnostics tarball", bladeimg::Kind::extended);
    fake::load_partition(RESCUE, 0, diags);
    Outcome o = from_flash();
    ASSERT_TRUE(o.exec);
    EXPECT_TRUE(has(o.out, "Launching diagnostics image\ninstall diags image\n"));
    EXPECT_EQ(read_file(APP_TARBALL), "diagnostics tarball");
    EXPECT_EQ(std::make_pair(int(eeprom(EEPROM_BOOTED_SLOT)), int(eeprom(EEPROM_PREFERRED_SLOT))), std::make_pair(4, 0xFF));

    const Bytes recovery = app("recovery tarball");
    const struct {
        const char* answer;
        int slot, preferred, booted;
        const char* says;
    } cases[] = {
        {"2\n", 2, 2, 2, "\nInstalling recovery image as image2...\nSetting boot image to 2\n"},
        {"\n", 0, 0xFF, 4, "\nBooting recovery image. You will need to download and install an image before rebooting\n"},
        {"", 0, 0xFF, 0xFF, "(hit return to just boot image): "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        SetUp();
        fake::load_partition(RESCUE, 0, recovery);
        b().console.type(c.answer);
        o = from_flash();
        ASSERT_TRUE(o.exec);
        EXPECT_TRUE(has(o.out, c.says));
        EXPECT_EQ(std::make_pair(int(eeprom(EEPROM_PREFERRED_SLOT)), int(eeprom(EEPROM_BOOTED_SLOT))),
                  std::make_pair(c.preferred, c.booted));
        EXPECT_EQ(fs::exists(SLOT2_PATH), c.slot == 2);
        if (c.slot) {
            EXPECT_EQ(read_file(SLOT2_PATH), std::string(recovery.begin(), recovery.end()));
        }
        EXPECT_FALSE(fs::exists(SLOT1_PATH));
    }
}

TEST_F(Launch, RescueImagesThatCannotBeBootedReturnZeroOrReboot)
{
    Bytes too_long = image(IMAGE_DIAGS, "d");
    put_be32(&too_long[4], 10u << 20);  // larger than the partition
    const struct {
        Bytes image;
        int fail_read_at;
        const char* err;
    } cases[] = {
        {corrupt(image(IMAGE_DIAGS, "d")), 0, "Image CRC failed. Quitting\n"},
        {too_long, 0, "Image header corrupt. Quitting\n"},
        {image(IMAGE_DIAGS, "d"), 1, "Image not found... \n"},
        {image(IMAGE_DIAGS, "d"), 2, "Image read failed. Quitting\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        SetUp();
        fake::load_partition(RESCUE, 0, c.image);
        b().part(RESCUE).fail_read_at = c.fail_read_at;
        const Outcome o = from_flash();
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(fs::file_size(APP_TARBALL), 0u);
        EXPECT_TRUE(b().i2c_log.empty());
    }
    SetUp();
    fake::load_partition(RESCUE, 0, image(IMAGE_DIAGS, "d"));
    fs::create_symlink("/dev/full", APP_TARBALL);
    const Outcome o = from_flash();
    EXPECT_TRUE(o.rebooted()) << "a tarball short of its payload is not launched";
    EXPECT_EQ(o.err, "Failed to open AppOS tarfile.\n");
}
