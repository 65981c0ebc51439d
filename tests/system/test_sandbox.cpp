// The board's sandbox: what runs inside reaches the board folder and nothing
// of this machine; bladesim exec and its endings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "board_run.hpp"

using namespace systest;

TEST(HostSafety, PlatformCommandsBoardPathsAndEraseStayInTheBoard)
{
    Board board;
    fs::create_directories(board.path("usb"));
    fs::copy_file(BOARD_CONTRACT_PATH, board.path("user/board_contract"));
    const std::string name = "bladesim-safety-" + std::to_string(::getpid());

    // The sim seam holds the board contract inside a board. The host's own
    // tools are not in the board's root at all, the root is read-only, and
    // what a platform command names is the board's own.
    const Result run = board.bladesim("exec", {"--speed", "500", "--timeout", "60", "--", "sh", "-c",
                               "/user/board_contract || exit 10; "
                               "for c in reboot mount umount flash_eraseall dhclient ifconfig route gdbserver; do "
                               "  [ \"$(readlink /bin/$c)\" = /sim/fakes/$c ] || exit 11; "
                               "  [ \"$(command -v $c)\" = /bin/$c ] || exit 12; done; "
                               "for p in /usr/sbin/reboot /usr/bin/systemctl /usr/sbin/ifconfig /usr/bin/mount; do "
                               "  [ ! -e $p ] || exit 13; done; "
                               "touch /etc-probe 2>/dev/null && exit 14; "
                               "[ ! -e /dev/ttyS0 ] || exit 15; "
                               "[ $(grep -c : /proc/net/dev) -eq 1 ] || exit 16; "
                               "grep -q '^CapEff:.*0000000000000003$' /proc/self/status || exit 17; "
                               "flash_eraseall /dev/mtd-user-char && [ -z \"$(ls -A /user)\" ] || exit 18; "
                               "ifconfig eth0 1.2.3.4; route add default gw 1.2.3.1; dhclient -1 eth0; "
                               "touch /tmp/" + name + " /user/" + name + " /mnt/usb/" + name + "; "
                               "reboot; touch /user/after-reboot"});

    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_EQ(board.outcome(), "reboot");
    // The host's paths never saw the writes; the board's folders did, and
    // the erase (the user partition is empty after it) left the others.
    for (const char* host : {"/tmp/", "/user/", "/mnt/usb/"}) EXPECT_FALSE(fs::exists(host + name)) << host;
    for (const char* own : {"user/", "usb/"}) EXPECT_TRUE(fs::exists(board.path(own + name))) << own;
    EXPECT_FALSE(fs::is_empty(board.path("flash")));
    // reboot ended the board, and only the board.
    EXPECT_FALSE(fs::exists(board.path("user/after-reboot")));
    const std::string platform = slurp(board.path("log/platform.log"));
    for (const char* line :
         {"ifconfig eth0 1.2.3.4\n", "route add default gw 1.2.3.1\n", "dhclient -1 eth0\n", "reboot \n"})
        EXPECT_TRUE(contains(platform, line)) << platform;
    EXPECT_FALSE(contains(slurp("/proc/net/fib_trie"), "1.2.3.4"));
    EXPECT_EQ(board.read("eeprom.bin").at(314), 0x42) << "the contract's write went to the board folder's EEPROM";
    // On the host the contract refuses to start: it would reach real devices.
    EXPECT_EQ(std::system(BOARD_CONTRACT_PATH " >/dev/null 2>&1"), 70 << 8);
}

// Started by hand with words it does not take, a board program only says
// what it is: the launcher touches nothing, rx creates no file. At the end of
// its input no sender will ever come: rx cancels, it does not invite for ever.
TEST(Exec, EndsAsItsProgramOrAtTheTimeout)
{
    Board board;
    const std::tuple<std::vector<std::string>, int, const char*, const char*> cases[] = {
        {{"--", "sh", "-c", "echo out; echo err >&2; exit 5"}, 5, "exit 5", "out\n|err\n"},
        {{"--timeout", "1", "--", "sh", "-c", "sleep 30; touch /user/late"}, 4, "timeout", ""},
        {{"--", "/sim/bladeboot", "--help"}, 2, "exit 2", "usage: /sim/bladeboot\n"},
        {{"--", "/usr/bin/rx", "--help"}, 0, "exit 0", "usage: /usr/bin/rx FILE\n"},
        {{"--timeout", "30", "--", "/usr/bin/rx", "/tmp/x"}, 1, "exit 1", ""},
    };
    for (const auto& [args, status, outcome, says] : cases) {
        const Result run = board.bladesim("exec", args);
        EXPECT_EQ(run.status, status) << args.back();
        EXPECT_EQ(board.outcome(), outcome);
        EXPECT_TRUE(contains(run.out + "|" + run.err, says)) << run.out << run.err;
    }
    EXPECT_FALSE(fs::exists(board.path("user/late")));
    EXPECT_TRUE(board.commands().empty());
}

// The service's MAC entry and management port set-up on the board's fakes.
TEST(Exec, ServiceCommandsConfigureEth0ThroughTheLog)
{
    const std::string set_ip = "ifconfig eth0 10.1.2.3\\n";
    // service words, keys, link up, exit status, the one command run, what it says
    const std::tuple<std::vector<std::string>, const char*, bool, int, std::string, const char*> cases[] = {
        {{"mac"}, "00:11:22:aa:bb:cc\r", true, 0, "ifconfig eth0 hw ether 00:11:22:aa:bb:cc\\n", ""},
        {{"mgmt", "--no-dhcp"}, "10.1.2.3\r\r\r", false, 1, set_ip, "Mgmt link not available. Quitting.\n"},
        {{"mgmt", "--no-dhcp"}, "10.1.2.3\r\r\r", true, 0, set_ip, ""},
        // A refused gateway followed by none: no route at all.
        {{"mgmt", "--no-dhcp"}, "10.1.2.3\r\r240.1.1.1\r\r", true, 0, set_ip, "Invalid IP address"},
    };
    for (const auto& [words, keys, link, status, command, says] : cases) {
        const Board board;  // afresh each time
        if (!link) board.write("net/link", {'0', '\n'});
        std::vector<std::string> args{"--speed", "500", "--", "bladeboot-service"};
        args.insert(args.end(), words.begin(), words.end());
        const Result run = board.bladesim("exec", args, keys);
        EXPECT_EQ(run.status, status) << run.out << run.err;
        EXPECT_EQ(board.commands(), std::vector<std::string>{command});
        EXPECT_TRUE(contains(run.out, says)) << run.out;
        EXPECT_EQ(contains(run.out, "Mgmt link not available"), !link);
    }
}
