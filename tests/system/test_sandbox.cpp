// The board's sandbox: what runs inside reaches the board folder and nothing
// of this machine; bladesim exec and its endings; the console on a terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "bladeflash/xmodem_send.hpp"
#include "bladeimg/image_builder.hpp"
#include "board_run.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;
using namespace systest;
using namespace std::chrono_literals;

namespace {

Result exec_sh(const Board& board, const std::string& script)
{
    return board.bladesim("exec", {"--speed", "500", "--timeout", "60", "--", "sh", "-c", script});
}

// bladesim ARGS on a new terminal, as an operator at the console: each step
// waits for a text, then types. Returns the exit status and everything shown.
struct Step {
    std::string wait_for;
    std::string keys;
    // Typed again every half second until the next step's text shows: a
    // Ctrl-C that lands before the launcher reads only sets its flag.
    bool repeat = false;
};

std::pair<int, std::string> on_terminal(const std::vector<std::string>& args, const std::vector<Step>& steps)
{
    const auto [master, pid] = on_pty(args);
    if (master < 0) return {-1, "no pty"};
    using clock = std::chrono::steady_clock;
    std::string shown;
    size_t seen = 0, step = 0;
    auto typed_at = clock::now();
    const auto deadline = clock::now() + 30s;
    while (clock::now() < deadline) {
        const size_t at = step < steps.size() ? shown.find(steps[step].wait_for, seen) : std::string::npos;
        if (at != std::string::npos) seen = at + steps[step++].wait_for.size();
        if (at != std::string::npos || (step > 0 && steps[step - 1].repeat && clock::now() - typed_at > 500ms)) {
            const std::string& keys = steps[step - 1].keys;
            if (::write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) break;
            typed_at = clock::now();
        }
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // every holder of the terminal has gone
        shown.append(buffer, static_cast<size_t>(n));
    }
    const int status = finish(pid);
    ::close(master);
    return {status, shown};
}

// XMODEM-1K packet n of a sender over the terminal.
std::string packet(uint8_t n, const std::string& data)
{
    const auto p = bladeflash::make_packet({reinterpret_cast<const uint8_t*>(data.data()), data.size()}, n, true);
    return {p.begin(), p.end()};
}

}  // namespace

TEST(HostSafety, PlatformCommandsBoardPathsAndEraseStayInTheBoard)
{
    Board board;
    fs::create_directories(board.path("usb"));
    const std::string name = "bladesim-safety-" + std::to_string(::getpid());
    ASSERT_FALSE(contains(slurp("/proc/net/fib_trie"), "1.2.3.4"));

    // The host's own tools are not in the board's root at all, the root is
    // read-only, and what a platform command names is the board's own.
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
                               "flash_eraseall /dev/mtd-user-char && [ -z \"$(ls -A /user)\" ] || exit 18; "
                               "ifconfig eth0 1.2.3.4; route add default gw 1.2.3.1; dhclient -1 eth0; "
                               "touch /tmp/" + name + " /user/" + name + " /mnt/usb/" + name + "; "
                               "reboot; touch /user/after-reboot");

    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_EQ(board.outcome(), "reboot");
    // The host's paths never saw the writes; the board's folders did, and
    // the erase emptied only the user partition.
    for (const char* host : {"/tmp/", "/user/", "/mnt/usb/"}) EXPECT_FALSE(fs::exists(host + name)) << host;
    EXPECT_TRUE(fs::exists(board.path("user/" + name)));
    EXPECT_TRUE(fs::exists(board.path("usb/" + name)));
    EXPECT_FALSE(fs::exists(board.path("user/images")));
    EXPECT_FALSE(fs::is_empty(board.path("flash")));
    // reboot ended the board, and only the board.
    EXPECT_FALSE(fs::exists(board.path("user/after-reboot")));
    const std::string platform = slurp(board.path("log/platform.log"));
    for (const char* line :
         {"ifconfig eth0 1.2.3.4\n", "route add default gw 1.2.3.1\n", "dhclient -1 eth0\n", "reboot \n"})
        EXPECT_TRUE(contains(platform, line)) << platform;
    EXPECT_FALSE(contains(slurp("/proc/net/fib_trie"), "1.2.3.4"));
}

TEST(Exec, StatusStreamsAndTimeout)
{
    Board board;
    const Result run = exec_sh(board, "echo out; echo err >&2; exit 5");
    EXPECT_TRUE(run.status == 5 && run.out == "out\n" && run.err == "err\n") << run.out << run.err;
    EXPECT_EQ(board.outcome(), "exit 5");

    const Result late = board.bladesim("exec", {"--timeout", "1", "--", "sh", "-c", "sleep 30; touch /user/late"});
    EXPECT_EQ(late.status, 4);
    EXPECT_EQ(board.outcome(), "timeout");
    EXPECT_FALSE(fs::exists(board.path("user/late")));

    // Started by hand with words it does not take, a board program only
    // says what it is: the launcher touches nothing, rx creates no file.
    for (const auto& [program, status, says] : {std::tuple{"/sim/bladeboot", 2, "usage: /sim/bladeboot\n"},
                                                {"/usr/bin/rx", 0, "usage: /usr/bin/rx FILE\n"}}) {
        const Result help = board.bladesim("exec", {"--", program, "--help"});
        EXPECT_EQ(help.status, status) << program;
        EXPECT_TRUE(contains(help.out + help.err, says)) << help.out << help.err;
        EXPECT_EQ(board.outcome(), "exit " + std::to_string(status));
    }
    EXPECT_TRUE(board.commands().empty());
    // At the end of its input no sender will ever come: rx cancels, it does not invite for ever.
    EXPECT_EQ(board.bladesim("exec", {"--timeout", "30", "--", "/usr/bin/rx", "/tmp/x"}).status, 1);
}

// The service's MAC entry and management port set-up on the board's fakes.
TEST(Exec, ServiceCommandsConfigureEth0ThroughTheLog)
{
    struct Case {
        std::vector<std::string> args;
        const char* keys;
        bool link;
        int status;
        std::string command, says;
    };
    const std::string set_ip = "ifconfig eth0 10.1.2.3\\n";
    const Case cases[] = {
        {{"mac"}, "00:11:22:aa:bb:cc\r", true, 0, "ifconfig eth0 hw ether 00:11:22:aa:bb:cc\\n", ""},
        {{"mgmt", "--no-dhcp"}, "10.1.2.3\r\r\r", false, 1, set_ip, "Mgmt link not available. Quitting.\n"},
        {{"mgmt", "--no-dhcp"}, "10.1.2.3\r\r\r", true, 0, set_ip, ""},
        // A refused gateway followed by none: no route at all.
        {{"mgmt", "--no-dhcp"}, "10.1.2.3\r\r240.1.1.1\r\r", true, 0, set_ip, "Invalid IP address"},
    };
    for (const Case& c : cases) {
        Board board("service-" + std::to_string(&c - cases));
        if (!c.link) board.write("net/link", {'0', '\n'});
        std::vector<std::string> args{"--speed", "500", "--", "bladeboot-service"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result run = board.bladesim("exec", args, c.keys);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        EXPECT_EQ(board.commands(), std::vector<std::string>{c.command});
        EXPECT_TRUE(contains(run.out, c.says)) << run.out;
        EXPECT_EQ(contains(run.out, "Mgmt link not available"), !c.link);
    }
}

TEST(HostSafety, SimSeamKeepsTheBoardContractInsideABoardOnly)
{
    Board board;
    fs::copy_file(BOARD_CONTRACT_PATH, board.path("user/board_contract"));
    const Result run = board.bladesim("exec", {"--", "/user/board_contract"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "board contract holds")) << run.out << run.err;
    EXPECT_EQ(board.read("eeprom.bin").at(314), 0x42) << "the write went to the board folder's EEPROM";
    // On the host the program refuses to start: it would reach real devices.
    EXPECT_EQ(std::system(BOARD_CONTRACT_PATH " >/dev/null 2>&1"), 70 << 8);
}

// The terminal is the board's serial port and the launcher's own.
TEST(Console, CtrlKeysReachTheLauncherAndSerialDownloadsInstallOnlyWhatArrivedWhole)
{
    Board board;
    board.setenv({"diagnostics=rescue"});
    const Bytes bytes = bladeimg::make_image({IMAGE_APPLICATION, 0x01000009}, Bytes(900, 'a'));
    // The port's queues are flushed at each switch: answer the reminders.
    const std::string start = "before the download can start...", back = "Waiting for the <ENTER> key to be hit...";
    // Ctrl-\ changes nothing; the key Ctrl-C interrupts is dropped and the
    // option asked again. Then a good download into slot 2, and one broken
    // after its first packet by a packet out of sequence (a silent sender
    // fails the same way, after 21 s of retries); each time the menu returns.
    const auto [status, shown] = on_terminal(
        {"run", board.dir.string(), "--speed", "500", "--timeout", "60"},
        {{"Option? : ", "\x1c"}, {"", "\x03", true}, {"Option? : ", "X"}, {start, "\r"},
         {"C", packet(1, std::string(bytes.begin(), bytes.end()))}, {"\x06", "\x04"}, {"\x15", "\x04"}, {back, "\n"},
         {"(hit return to just boot image): ", "2\n"}, {"Option? : ", "X"}, {start, "\r"},
         {"C", packet(1, std::string(1024, 'b'))}, {"\x06", packet(3, "b")}, {back, "\n"}, {"Option? : ", "r"}});
    EXPECT_EQ(status, 3) << shown;  // rebooted from the menu
    EXPECT_FALSE(contains(shown, "unknown option")) << shown;
    const size_t extracted = shown.find("Extracting images");  // once: the broken download was not installed
    EXPECT_TRUE(extracted != std::string::npos && extracted == shown.rfind("Extracting images")) << shown;
    EXPECT_TRUE(contains(shown, "Image2 updated succeeded")) << shown;
    EXPECT_EQ(board.read("user/images/image2"), bytes);
}
