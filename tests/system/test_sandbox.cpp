// The board's sandbox: what runs inside reaches the board folder and nothing
// of this machine; bladesim exec and its endings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bladeimg/image_builder.hpp"
#include "board.hpp"
#include "board_run.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

using systest::Board;
using systest::contains;
using systest::Result;
namespace fs = std::filesystem;

namespace {

Result exec_sh(const Board& board, const std::string& script, const std::string& keys = "")
{
    return board.bladesim("exec", {"--speed", "500", "--timeout", "60", "--", "sh", "-c", script}, keys);
}

bool has_line(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string unique_name() { return "bladesim-safety-" + std::to_string(::getpid()); }

// Reads what the terminal shows for up to `ms`; false once it has closed.
bool read_for(int master, std::string& shown, int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) return false;
        shown.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// The serial handover flushes the line both ways when it switches, so a key
// typed just before is lost, and so may be the text just shown: type the
// key again every 3 seconds until `done` says it has been taken.
void type_until(int master, std::string& shown, const std::string& keys, const std::function<bool()>& done)
{
    for (int tries = 0; tries < 10; ++tries) {
        ASSERT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        for (int i = 0; i < 30; ++i) {
            if (done()) return;
            if (!read_for(master, shown, 100)) return;
        }
    }
    ADD_FAILURE() << "the board never took " << testing::PrintToString(keys);
}

// Types keys, and again only when the board shows `reminder` once more: the
// wait is then still going on. A key typed again on a mere delay would be
// left over for the next question.
void type_at_reminders(int master, std::string& shown, const std::string& keys, const std::string& reminder,
                       const std::function<bool()>& done)
{
    size_t seen = shown.size();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(45);
    ASSERT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return;
        if (const size_t at = shown.find(reminder, seen); at != std::string::npos) {
            seen = at + reminder.size();
            ASSERT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        }
        if (!read_for(master, shown, 100)) return;
    }
    ADD_FAILURE() << "the board never took " << testing::PrintToString(keys);
}

// bladesim ARGS on a new terminal, as an operator at the console: each step
// waits for a text, then types. Returns the exit status and everything shown.
struct Step {
    std::string wait_for;
    std::string keys;
    // Typed again every half second until the next step's text shows: a
    // Ctrl-C that lands before the launcher reads only sets its flag.
    bool repeat = false;
    // Run instead of typing, with the terminal's other end and what it has
    // shown so far.
    std::function<void(int master, std::string& shown)> peer;
};

Step after(std::string wait_for, std::string keys, bool repeat = false)
{
    Step step;
    step.wait_for = std::move(wait_for);
    step.keys = std::move(keys);
    step.repeat = repeat;
    return step;
}

Step after(std::string wait_for, std::function<void(int master, std::string& shown)> peer)
{
    Step step;
    step.wait_for = std::move(wait_for);
    step.peer = std::move(peer);
    return step;
}

std::pair<int, std::string> on_terminal(const std::vector<std::string>& args, const std::vector<Step>& steps)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return {-1, "no pty"};
    const std::string slave = ::ptsname(master);
    const pid_t pid = systest::start_bladesim(args, [&slave] {
        const int fd = ::open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
        return fd >= 0 && ::dup2(fd, 0) == 0 && ::dup2(fd, 1) == 1 && ::dup2(fd, 2) == 2;
    });
    using clock = std::chrono::steady_clock;
    const auto type = [master](const std::string& keys) {
        return ::write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    };
    std::string shown;
    size_t seen = 0;
    size_t step = 0;
    auto typed_at = clock::now();
    const auto deadline = clock::now() + std::chrono::seconds(30);
    while (clock::now() < deadline) {
        if (step < steps.size()) {
            const size_t at = shown.find(steps[step].wait_for, seen);
            if (at != std::string::npos) {
                seen = at + steps[step].wait_for.size();
                if (steps[step].peer) {
                    steps[step].peer(master, shown);
                } else if (!type(steps[step].keys)) {
                    break;
                }
                typed_at = clock::now();
                ++step;
                continue;
            }
        }
        if (step > 0 && steps[step - 1].repeat && clock::now() - typed_at > std::chrono::milliseconds(500)) {
            if (!type(steps[step - 1].keys)) break;
            typed_at = clock::now();
        }
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // every holder of the terminal has gone
        shown.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ::close(master);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, shown};
}

}  // namespace

TEST(HostSafety, PlatformCommandsAndBoardPathsStayInTheBoard)
{
    Board board;
    fs::create_directories(board.path("usb"));
    const std::string name = unique_name();
    ASSERT_FALSE(contains(systest::slurp("/proc/net/fib_trie"), "1.2.3.4"));

    const Result run = exec_sh(board,
                               "ifconfig eth0 1.2.3.4; route add default gw 1.2.3.1; dhclient -1 eth0; "
                               "touch /tmp/" +
                                   name + " /user/" + name + " /mnt/usb/" + name +
                                   "; "
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

// --- the sim seam's devices, from inside ----------------------------------------------

TEST(SimSeam, DeviceModelsAnswerAsTheHardwareDoes)
{
    Board board;
    fs::copy_file(SEAM_PROBE_PATH, board.path("user/seam_probe"));

    const Result run = board.bladesim("exec", {"--", "/user/seam_probe"});

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    // What the probe left behind is on the board folder's files.
    EXPECT_EQ(board.eeprom(bladesim::EEPROM_BOOTED), 0x42);
    EXPECT_EQ(board.read("flash/devicetree.bin").at(0x10005), 0xFF);
    EXPECT_EQ(board.commands(), (std::vector<std::string>{"printf 'a\\\\\\\\b\\\\n' > /tmp/probe-out\\n", "true"}));
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

    const Result run =
        board.bladesim("exec", {"--speed", "500", "--", "bladeboot-service", "mac"}, "00:11:22:aa:bb:cc\r");

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

// --- console on a terminal ------------------------------------------------------------

TEST(Console, CtrlCReachesTheLauncherAndNotBladesim)
{
    Board board;
    board.setenv({"diagnostics=rescue"});

    const auto [status, shown] = on_terminal({"run", board.dir().string(), "--speed", "500", "--timeout", "60"},
                                             {after("Option? : ", "\x03", true), after("Option? : ", "e")});

    // The interrupted key is dropped and the option asked again; Exit boots.
    EXPECT_EQ(status, 0) << shown;
    EXPECT_FALSE(contains(shown, "unknown option")) << shown;
    EXPECT_TRUE(contains(shown, "bladesim: application started")) << shown;
    EXPECT_EQ(board.outcome(), "application");
}

TEST(Console, TerminalIsTheBoardsSerialPort)
{
    Board board;

    const auto [status, shown] = on_terminal(
        {"exec", board.dir().string(), "--", "sh", "-c", "[ -c /dev/ttyS0 ] && [ -t 0 ] && echo serial-ok"}, {});

    EXPECT_EQ(status, 0) << shown;
    EXPECT_TRUE(contains(shown, "serial-ok")) << shown;
}

// lrzsz's sx sends FILE with XMODEM-1K over the terminal, as an operator's
// terminal program does.
void send_xmodem(int master, const std::string& file)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(master, 0);
        ::dup2(master, 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execlp("sx", "sx", "-k", file.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "sx ended with " << status;
}

TEST(Console, SerialDownloadInstallsThroughTheBoardsReceiver)
{
    Board board;
    board.setenv({"diagnostics=rescue"});
    // Three erase blocks and a bit: the write crosses block boundaries.
    std::vector<uint8_t> payload(3 * 65536 + 1000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + i / 251);
    const auto kernel = bladeimg::make_image({IMAGE_KERNEL, 0x02000000}, payload);
    auto package = kernel;
    const auto application = bladesim::sample_application_image(5);
    package.insert(package.end(), application.begin(), application.end());
    const std::string package_path = board.dir().string() + ".package";
    ASSERT_TRUE(bladesim::write_file(package_path, package));

    // Slow enough that the receiver's own time-outs allow for sx starting.
    const auto [status, shown] = on_terminal(
        {"run", board.dir().string(), "--speed", "4", "--timeout", "60"},
        {after("Option? : ",
               [&](int master, std::string& text) {
                   ASSERT_EQ(::write(master, "X", 1), 1);
                   // Past the handover's flush, the first Enter is taken.
                   read_for(master, text, 500);
                   type_until(master, text, "\r", [&] { return has_line(board.commands(), "/usr/bin/rx /tmp/image"); });
                   send_xmodem(master, package_path);
                   const size_t from = text.size();
                   read_for(master, text, 500);
                   type_at_reminders(master, text, "\n", "Waiting for the <ENTER> key to be hit...",
                                     [&] { return text.find("Extracting images", from) != std::string::npos; });
               }),
         after("Install image as image 1 or 2 (hit return to just boot image): ", "2\n"), after("File processed", ""),
         after("Option? : ", "E")});

    EXPECT_EQ(status, 0) << shown;
    EXPECT_TRUE(contains(shown, "Image2 updated succeeded")) << shown;
    EXPECT_TRUE(contains(shown, "sample application 1.0.0.5 (image5) running")) << shown;
    EXPECT_EQ(board.read("user/images/image2"), application);
    EXPECT_EQ(board.eeprom(bladesim::EEPROM_PREFERRED), 2);
    EXPECT_EQ(board.eeprom(bladesim::EEPROM_BOOTED), 2);
    const auto flash = board.read("flash/kernel.bin");
    ASSERT_EQ(flash.size(), 3u << 20);
    EXPECT_TRUE(std::equal(kernel.begin(), kernel.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + static_cast<long>(kernel.size()), flash.end(),
                            [](uint8_t byte) { return byte == 0xFF; }));
    EXPECT_TRUE(has_line(board.commands(), "/usr/bin/rx /tmp/image"));
}
