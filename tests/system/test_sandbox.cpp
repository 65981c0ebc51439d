// The board's sandbox: what runs inside reaches the board folder and nothing
// of this machine; bladesim exec and its endings.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "board_run.hpp"

using systest::Board;
using systest::contains;
using systest::Result;
namespace fs = std::filesystem;

namespace {

Result exec_sh(const Board& board, const std::string& script, const std::string& keys = "")
{
    return board.bladesim("exec", {"--speed", "500", "--timeout", "60", "--", "sh", "-c", script}, keys);
}

std::string unique_name() { return "bladesim-safety-" + std::to_string(::getpid()); }

}  // namespace

TEST(HostSafety, PlatformCommandsAndBoardPathsStayInTheBoard)
{
    Board board;
    fs::create_directories(board.path("usb"));
    const std::string name = unique_name();
    ASSERT_FALSE(contains(systest::slurp("/proc/net/fib_trie"), "1.2.3.4"));

    const Result run = exec_sh(board, "ifconfig eth0 1.2.3.4; route add default gw 1.2.3.1; dhclient -1 eth0; "
                                   "touch /tmp/" + name + " /user/" + name + " /mnt/usb/" + name + "; "
                                   "reboot; touch /user/after-reboot");

    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_EQ(board.outcome(), "reboot");
    // The host's paths never saw the writes; the board's folders did.
    EXPECT_FALSE(fs::exists("/tmp/" + name));
    EXPECT_FALSE(fs::exists("/user/" + name));
    EXPECT_FALSE(fs::exists("/mnt/usb/" + name));
    EXPECT_TRUE(fs::exists(board.path("user/" + name)));
    EXPECT_TRUE(fs::exists(board.path("usb/" + name)));
    // reboot ended the board, and only the board.
    EXPECT_FALSE(fs::exists(board.path("user/after-reboot")));
    const std::string platform = board.platform_log();
    EXPECT_TRUE(contains(platform, "ifconfig eth0 1.2.3.4\n")) << platform;
    EXPECT_TRUE(contains(platform, "route add default gw 1.2.3.1\n"));
    EXPECT_TRUE(contains(platform, "dhclient -1 eth0\n"));
    EXPECT_TRUE(contains(platform, "reboot \n"));
    EXPECT_FALSE(contains(systest::slurp("/proc/net/fib_trie"), "1.2.3.4"));
}

TEST(HostSafety, OnlyTheFakesAnswerToThePlatformsNames)
{
    Board board;

    // The host's own tools are not in the board's root at all, and the root
    // itself is read-only.
    const Result run = exec_sh(board,
                            "for c in reboot mount umount flash_eraseall dhclient ifconfig route gdbserver; do "
                            "  [ \"$(readlink /bin/$c)\" = /sim/fakes/$c ] || exit 11; "
                            "  [ \"$(command -v $c)\" = /bin/$c ] || exit 12; done; "
                            "for p in /usr/sbin/reboot /usr/bin/systemctl /usr/sbin/ifconfig /usr/bin/mount; do "
                            "  [ ! -e $p ] || exit 13; done; "
                            "touch /etc-probe 2>/dev/null && exit 14; "
                            "[ ! -e /dev/ttyS0 ] || exit 15; "
                            "[ $(grep -c : /proc/net/dev) -eq 1 ] || exit 16; "
                            "grep -q '^CapEff:.*0000000000000003$' /proc/self/status || exit 17; "
                            "exit 0");

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(board.outcome(), "exit 0");
}

TEST(HostSafety, UserPartitionEraseEmptiesOnlyTheBoardsFolder)
{
    Board board;

    const Result run = exec_sh(board, "flash_eraseall /dev/mtd-user-char && [ -z \"$(ls -A /user)\" ]");

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(fs::is_empty(board.path("user")));
    EXPECT_FALSE(fs::is_empty(board.path("flash")));
}

// --- exec ---------------------------------------------------------------------------

TEST(Exec, ProgramStatusAndOutcome)
{
    Board board;

    const Result run = exec_sh(board, "echo out; echo err >&2; exit 5");

    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.out, "out\n");
    EXPECT_EQ(run.err, "err\n");
    EXPECT_EQ(board.outcome(), "exit 5");
}

TEST(Exec, TimeoutEndsTheBoard)
{
    Board board;

    const Result run = board.bladesim("exec", {"--timeout", "1", "--", "sh", "-c", "sleep 30; touch /user/late"});

    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(board.outcome(), "timeout");
    EXPECT_FALSE(fs::exists(board.path("user/late")));
}

TEST(Exec, MacEntryRunsIfconfigThroughTheLog)
{
    Board board;

    const Result run = board.bladesim("exec", {"--speed", "500", "--", "bladeboot-service", "mac"}, "00:11:22:aa:bb:cc\r");

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(board.commands(), std::vector<std::string>{"ifconfig eth0 hw ether 00:11:22:aa:bb:cc\\n"});
}

TEST(Exec, ManagementPortWithoutLinkQuitsAfterConfiguring)
{
    Board board;
    board.write("net/link", {'0', '\n'});

    const Result run =
        board.bladesim("exec", {"--speed", "500", "--", "bladeboot-service", "mgmt", "--no-dhcp"}, "10.1.2.3\r\r\r");

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_EQ(board.commands(), std::vector<std::string>{"ifconfig eth0 10.1.2.3\\n"});
    EXPECT_TRUE(contains(run.out, "Mgmt link not available. Quitting.\n")) << run.out;
}

TEST(Exec, ManagementPortWithLinkSucceeds)
{
    Board board;

    const Result run =
        board.bladesim("exec", {"--speed", "500", "--", "bladeboot-service", "mgmt", "--no-dhcp"}, "10.1.2.3\r\r\r");

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_FALSE(contains(run.out, "Mgmt link not available"));
}
