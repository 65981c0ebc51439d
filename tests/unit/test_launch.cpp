#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "boot_road.hpp"
#include "launcher/launch.hpp"

using namespace bladeboot;

using namespace boot_road;

namespace {

const std::string unpack = "cd /tmp \ntar mxzf /tmp/torasimage.tar.gz \nrm /tmp/torasimage.tar.gz\n";
const std::string question =
    "WARNING: Suspected incompatible application image detected during unpacking\n"
    "Would you like to enter recovery mode to download a new image? y/N: ";

class Launch : public BootRoadTest {
protected:
    Outcome launch(uint8_t diags = 0)
    {
        return run([diags]() -> int { launch_image(diags); });
    }
};

TEST_F(Launch, UnpacksClosesTheBusesAndReplacesTheProcess)
{
    const Outcome o = launch();
    ASSERT_TRUE(o.exec);
    EXPECT_EQ(o.exec->file, "/bin/backtrace");
    EXPECT_EQ(o.exec->arg0, "/bin/backtrace");
    EXPECT_EQ(b().commands, std::vector<std::string>{unpack});
    EXPECT_EQ(b().sleeps_us, std::vector<uint64_t>{1000000});
    EXPECT_EQ(i2c_file[0], 0);
    EXPECT_EQ(i2c_file[1], 0);
    EXPECT_EQ(o.out + o.err, "");
}

TEST_F(Launch, FailuresToUnpackOrToStartReboot)
{
    b().exec_fails = true;
    Outcome o = launch();
    ASSERT_TRUE(o.rebooted());
    EXPECT_EQ(o.err, "Failed to start Application OS.\n");

    b().system_result = -1;  // no shell at all: the reboot cannot start either
    o = launch();
    ASSERT_TRUE(o.rebooted());
    EXPECT_EQ(o.err, "Failed to gunzip Application OS.\nSystem reboot failed, please power-cycle.\n");
    EXPECT_EQ(o.exit_status, 0);
}

TEST_F(Launch, IncompatibleImageAsksOnceAndOnlyYesEntersRecovery)
{
    std::filesystem::remove("/tmp/home/bin/distro-id");
    struct {
        int key;
        bool recovery;
    } cases[] = {{'y', true}, {'Y', true}, {'n', false}, {'\r', false}, {fake::INTERRUPT, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        b().console.keys = {c.key, 'E'};  // E leaves a real rescue menu
        const Outcome o = launch();
        ASSERT_TRUE(o.exec);
        EXPECT_EQ(b().console.keys.empty(), c.recovery);
        if (!c.recovery) {
            EXPECT_EQ(o.out, question) << "the key is not echoed";
        }
    }
    EXPECT_EQ(sig_quit_raised, 1);
}

TEST_F(Launch, DiagnosticsExecutableIsMovedIntoPlace)
{
    const Outcome o = launch(1);
    ASSERT_TRUE(o.exec);
    EXPECT_EQ(o.out, "install diags image\n");
    EXPECT_EQ(b().commands, (std::vector<std::string>{unpack, "mkdir -p /tmp/home/bin",
                                                      "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip"}));
}

class Environment : public Launch {
protected:
    void TearDown() override
    {
        for (const char* name : {"X", "Y", "Z", "LONG", "NEXT"}) unsetenv(name);
        unsetenv(std::string(89, 'v').c_str());
    }
};

TEST_F(Environment, PairsOfTokensAreSetAfterTheInstallScript)
{
    setenv("Y", "old", 1);
    write_file("/tmp/home/bin/install.sh", "");
    write_file("/tmp/home/bin/env-setup", "X 1\nY\t2\n\n  Z");
    const Outcome o = launch();
    ASSERT_TRUE(o.exec);
    EXPECT_EQ(o.out, "Running install script\n");
    EXPECT_EQ(b().commands.back(), "/tmp/home/bin/install.sh");
    EXPECT_STREQ(std::getenv("X"), "1");
    EXPECT_STREQ(std::getenv("Y"), "2");
    EXPECT_STREQ(std::getenv("Z"), "");
}

TEST_F(Environment, LongTokenIsSplitAndShiftsThePairing)
{
    write_file("/tmp/home/bin/install.sh", "");
    write_file("/tmp/home/bin/env-setup", "LONG " + std::string(600, 'v') + " NEXT X");
    ASSERT_TRUE(launch().exec);
    EXPECT_EQ(std::getenv("LONG"), std::string(511, 'v'));
    EXPECT_STREQ(std::getenv(std::string(89, 'v').c_str()), "NEXT");
    EXPECT_STREQ(std::getenv("X"), "");
    EXPECT_EQ(std::getenv("NEXT"), nullptr);
}

TEST_F(Environment, FileIsIgnoredWithoutAnInstallScript)
{
    write_file("/tmp/home/bin/env-setup", "X 1");
    ASSERT_TRUE(launch().exec);
    EXPECT_EQ(std::getenv("X"), nullptr);
    EXPECT_EQ(b().commands, std::vector<std::string>{unpack});
}

TEST_F(Launch, ShellComesBeforeTheStart)
{
    shell_enable = 1;
    const Outcome o = launch();
    ASSERT_TRUE(o.exec);
    EXPECT_EQ(o.out, "Dropping into shell\nDropping out of shell\n");
    EXPECT_EQ(b().commands.back(), "/bin/sh\n");
}

TEST_F(Launch, StartModeFollowsTheFlagsInOrder)
{
    const std::string app = "/tmp/home/bin/mp.elf.strip";
    struct {
        int gdbserver, gdb, memchk;
        bool have_gdb;
        std::string command;  // empty: plain start
        std::string printed;
    } cases[] = {
        {1, 1, 1, true, "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :4321 " + app + "\n", ""},
        {1, 1, 0, true, "/bin/gdbserver :4321 " + app + "\n", ""},
        {0, 1, 1, true, "/tmp/gdb " + app, "*** Launching under GDB ***\n"},
        {0, 1, 1, false, "", "**** GDB mode selected but GDB not available. Please install GDB image ***\n"},
        {0, 0, 1, false, "LD_PRELOAD=libduma.so.0.0.0 " + app + "\n", ""},
        {0, 0, 0, true, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command + c.printed);
        SetUp();
        gdbserver_enable = c.gdbserver;
        gdb_enable = c.gdb;
        memchk_enable = static_cast<uint8_t>(c.memchk);
        gdbport = 4321;
        if (c.have_gdb) write_file("/tmp/gdb", "");
        const Outcome o = launch();
        EXPECT_EQ(o.out, c.printed);
        if (c.command.empty()) {
            EXPECT_TRUE(o.exec);
            EXPECT_EQ(b().commands, std::vector<std::string>{unpack});
        } else {
            EXPECT_TRUE(o.rebooted());
            EXPECT_EQ(b().commands, (std::vector<std::string>{unpack, c.command, "reboot"}));
        }
    }
}

class ExtractGdb : public BootRoadTest {
protected:
    Outcome extract_gdb_for(int slot)
    {
        return run([slot] { return extract_gdb(slot); });
    }
};

TEST_F(ExtractGdb, CopiesThePayloadOfTheOtherSlotAndUnpacksIt)
{
    write_file(SLOT1_PATH, app("gzip bytes") + app("not this"));
    const Outcome o = extract_gdb_for(2);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), "gzip bytes");
    EXPECT_EQ(o.out, "Extracting GDB from image slot 1\nFound GDB image 1 of length = 10.\ndecompressing GDB....\n");
    EXPECT_EQ(b().commands, (std::vector<std::string>{"gunzip /tmp/gdb.gz", "chmod +x /tmp/gdb"}));

    Bytes cut = app("gzip bytes");
    put_be32(&cut[4], 1000);
    write_file(SLOT2_PATH, cut);
    EXPECT_EQ(extract_gdb_for(1).result, 1);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), "gzip bytes") << "stops at the end of the file";
}

TEST_F(ExtractGdb, FailuresLeaveNoDebugger)
{
    struct {
        const char* name;
        std::optional<Bytes> slot2;
        bool output_blocked;
        std::string err;
    } cases[] = {
        {"no other slot", std::nullopt, false, "Failed to open GDB image (from slot 2)\n"},
        {"output blocked", app("gzip bytes"), true, "Failed to open GDB output file.\n"},
        {"extended header", image(IMAGE_APPLICATION, "gzip bytes", bladeimg::Kind::extended), false,
         "Image has invalid header 0x81504754\n"},
        {"kernel", image(IMAGE_KERNEL, "gzip bytes"), false, "Image has invalid header 0x3504754\n"},
        {"shorter than a header", Bytes(12, 0), false, "Image has invalid header 0x0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.slot2) write_file(SLOT2_PATH, *c.slot2);
        if (c.output_blocked) std::filesystem::create_directories("/tmp/gdb.gz");
        const Outcome o = extract_gdb_for(1);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.err, c.err);
        EXPECT_TRUE(b().commands.empty());
    }
    EXPECT_EQ(extract_gdb_for(3).out, "") << "nothing to take from for the stick";
}

}  // namespace
