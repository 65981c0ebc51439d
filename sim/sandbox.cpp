#include "sandbox.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "board.hpp"
#include "platform/sim_board.hpp"

namespace bladesim {

const std::vector<std::string> FAKE_COMMANDS{"reboot",   "mount", "umount",    "flash_eraseall", "dhclient",
                                             "ifconfig", "route", "gdbserver", "backtrace"};

namespace {

// What the board's root filesystem offers from busybox. Applets that act on
// the machine (halt, ip, insmod, nsenter, ...) are left out: they would fail
// without capabilities anyway, and the board's own are the fakes.
const char* const APPLETS[] = {
    "[",        "[[",      "ash",  "awk",   "basename", "cat",   "chgrp", "chmod",    "chown",    "clear",
    "cmp",      "cp",      "cut",  "date",  "dd",       "df",    "diff",  "dirname",  "du",       "echo",
    "egrep",    "env",     "expr", "false", "fgrep",    "find",  "grep",  "gunzip",   "gzip",     "head",
    "hostname", "hexdump", "id",   "kill",  "less",     "ln",    "ls",    "md5sum",   "mkdir",    "mkfifo",
    "mktemp",   "more",    "mv",   "od",    "printf",   "ps",    "pwd",   "readlink", "realpath", "reset",
    "rm",       "rmdir",   "sed",  "seq",   "sh",       "sleep", "sort",  "stat",     "stty",     "sync",
    "tail",     "tar",     "tee",  "test",  "timeout",  "touch", "tr",    "true",     "tty",      "uname",
    "uniq",     "usleep",  "vi",   "wc",    "which",    "xargs", "xxd",   "yes",      "zcat",
};

void add(std::vector<std::string>& args, std::initializer_list<std::string> more) { args.insert(args.end(), more); }

// Host library folders: a link is recreated as a link, never bound over.
void add_libraries(std::vector<std::string>& args)
{
    for (const char* dir : {"/usr/lib", "/usr/lib64", "/lib", "/lib64"}) {
        std::error_code ec;
        const fs::path p = dir;
        if (fs::is_symlink(p, ec)) {
            add(args, {"--symlink", fs::read_symlink(p, ec).string(), dir});
        } else if (fs::is_directory(p, ec)) {
            add(args, {"--ro-bind", dir, dir});
        }
    }
}

bool read_word(const fs::path& path, std::string& word)
{
    std::ifstream in(path);
    return static_cast<bool>(in >> word);
}

}  // namespace

std::vector<std::string> bwrap_args(const SandboxPlan& plan)
{
    const fs::path& b = plan.board;
    std::vector<std::string> args{"bwrap",         "--unshare-pid", "--unshare-net", "--unshare-ipc",
                                  "--unshare-uts", "--hostname",    "blade",         "--die-with-parent"};
    if (!plan.as_root) add(args, {"--unshare-user", "--uid", "0", "--gid", "0"});
    // Root on the board unpacks the application with its owners: tar needs
    // to hand files to their owner and then still write into the folders it
    // gave away. Nothing else is kept; bwrap also sets no_new_privs.
    add(args, {"--cap-drop", "ALL", "--cap-add", "CAP_CHOWN", "--cap-add", "CAP_DAC_OVERRIDE"});
    // Without a terminal to share, the board gets a session of its own.
    if (plan.console_tty.empty()) args.emplace_back("--new-session");

    add(args, {"--clearenv", "--setenv", "PATH", "/bin:/sbin:/usr/bin", "--setenv", "HOME", "/", "--setenv",
               simboard::SPEED_ENV, std::to_string(plan.speed)});
    if (!plan.term.empty()) add(args, {"--setenv", "TERM", plan.term});

    add_libraries(args);
    add(args, {"--dir", "/bin", "--dir", "/sbin", "--dir", "/usr/bin"});
    add(args, {"--ro-bind", plan.tools.busybox.string(), "/sim/busybox"});
    add(args, {"--ro-bind", plan.tools.fakes.string(), "/sim/fakes"});
    add(args, {"--ro-bind", plan.tools.launcher.string(), "/sim/bladeboot"});
    add(args, {"--ro-bind", plan.tools.enter.string(), "/sim/enter"});
    add(args, {"--symlink", "/sim/busybox", "/bin/busybox"});
    for (const char* applet : APPLETS) add(args, {"--symlink", "busybox", std::string("/bin/") + applet});
    for (const std::string& fake : FAKE_COMMANDS) {
        add(args, {"--symlink", "/sim/fakes/" + fake, "/bin/" + fake});
        add(args, {"--symlink", "/sim/fakes/" + fake, "/sbin/" + fake});
    }
    add(args, {"--symlink", "/bin/busybox", "/usr/bin/find"});
    add(args, {"--ro-bind", plan.tools.rx.string(), "/usr/bin/rx"});
    if (!plan.tools.service.empty())
        add(args, {"--ro-bind", plan.tools.service.string(), "/usr/bin/bladeboot-service"});

    add(args, {"--dev", "/dev"});
    for (const Partition& part : PARTITIONS) add(args, {"--bind", (b / "flash" / part.file).string(), part.device});
    if (!plan.console_tty.empty()) add(args, {"--dev-bind", plan.console_tty, "/dev/ttyS0"});
    add(args, {"--proc", "/proc"});

    // The board's /tmp is a fresh tmpfs at every power-up.
    add(args, {"--tmpfs", "/tmp"});
    add(args, {"--bind", (b / "user").string(), "/user"});
    std::error_code ec;
    if (fs::is_directory(b / "usb", ec)) {
        // The platform has mounted the stick before the launcher starts.
        add(args, {"--bind", (b / "usb").string(), "/mnt/usb", "--dir", "/tmp/usb"});
    } else {
        add(args, {"--dir", "/mnt/usb"});
    }
    add(args, {"--bind", (b / "log").string(), simboard::LOG_DIR});
    if (fs::exists(b / "eeprom.bin", ec)) add(args, {"--bind", (b / "eeprom.bin").string(), simboard::EEPROM_FILE});
    if (fs::is_directory(b / "net", ec)) add(args, {"--ro-bind", (b / "net").string(), "/sim/net"});
    add(args, {"--dir", simboard::SANDBOX_MARK});

    add(args, {"--remount-ro", "/", "--chdir", "/", "--", "/sim/enter"});
    args.insert(args.end(), plan.program.begin(), plan.program.end());
    return args;
}

std::string outcome_word(const RunResult& result)
{
    switch (result.outcome) {
        case Outcome::application:
            return "application";
        case Outcome::reboot:
            return "reboot";
        case Outcome::timeout:
            return "timeout";
        case Outcome::exited:
            break;
    }
    return "exit " + std::to_string(result.status);
}

namespace {

// Waits for the child until the deadline; false when it is still running.
bool wait_until(pid_t pid, int& status, std::chrono::steady_clock::time_point deadline)
{
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (pidfd >= 0) ::close(pidfd);
            return false;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        } else {
            ::usleep(10000);
        }
    }
    if (pidfd >= 0) ::close(pidfd);
    return true;
}

void reset_log(const fs::path& log)
{
    std::error_code ec;
    fs::create_directories(log, ec);
    for (const char* name : {"commands.log", "platform.log"}) std::ofstream(log / name, std::ios::trunc);
    fs::remove(log / "outcome", ec);
}

}  // namespace

RunResult run_sandbox(const SandboxPlan& plan, unsigned timeout_s)
{
    const fs::path log = plan.board / "log";
    reset_log(log);
    const std::vector<std::string> args = bwrap_args(plan);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    termios saved{};
    const bool restore_tty = !plan.console_tty.empty() && ::tcgetattr(0, &saved) == 0;
    // Ctrl-C at the console belongs to the board; this process and bwrap's
    // own must not die of it (bladesim-enter restores it inside).
    struct sigaction ignore {
    }, old_int{}, old_quit{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGINT, &ignore, &old_int);
    ::sigaction(SIGQUIT, &ignore, &old_quit);

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "bladesim: cannot run bwrap: %s\n", std::strerror(errno));
        ::_exit(127);
    }
    RunResult result{Outcome::exited, 1};
    if (pid > 0) {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
        if (wait_until(pid, status, deadline)) {
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else {
            ::kill(pid, SIGKILL);  // --die-with-parent takes the whole board down with it
            ::waitpid(pid, &status, 0);
            result.outcome = Outcome::timeout;
        }
    } else {
        std::fprintf(stderr, "bladesim: fork: %s\n", std::strerror(errno));
    }

    ::sigaction(SIGINT, &old_int, nullptr);
    ::sigaction(SIGQUIT, &old_quit, nullptr);
    if (restore_tty) ::tcsetattr(0, TCSANOW, &saved);

    std::string word;
    if (result.outcome != Outcome::timeout && read_word(log / "outcome", word)) {
        if (word == "application") result.outcome = Outcome::application;
        if (word == "reboot") result.outcome = Outcome::reboot;
    }
    std::ofstream(log / "outcome", std::ios::trunc) << outcome_word(result) << "\n";
    return result;
}

}  // namespace bladesim
