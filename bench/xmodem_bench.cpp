// The launcher's XMODEM-1K receiver against lrzsz's rx, both fed by
// `sx -k` over a pseudo-terminal, and the receiver alone behind a relay that
// paces the line like a 115200 bps 8N1 serial port, fed by sx and by
// bladeflash's sender in turn. The receiver runs over
// the fake board with real time, so this program belongs in
// tests/sandbox-run. Prints `name: value` lines.
//   bench_xmodem SIZE_BYTES PACED_SIZE_BYTES
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bladeflash/line.hpp"
#include "bladeflash/xmodem_send.hpp"
#include "fakes/fake_platform.hpp"
#include "launcher/xmodem.hpp"

using namespace bladeboot;

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

const char* const SENT = "/tmp/sent";
const char* const RECEIVED = "/tmp/received";
constexpr double LINE_BYTES_PER_S = 11520.0;  // 115200 bps, 10 bits a byte

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

Bytes read_file(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_sent(size_t size)
{
    Bytes data(size);
    uint32_t x = 0x9E3779B9u;
    for (auto& byte : data) {
        x = x * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(x >> 16);
    }
    std::ofstream(SENT, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// A transfer that lost or changed a byte must not count as fast.
bool received_ok(size_t size)
{
    const Bytes sent = read_file(SENT);
    const Bytes got = read_file(RECEIVED);
    return got.size() >= size && std::equal(sent.begin(), sent.end(), got.begin());
}

struct Pty {
    int master = -1;
    int slave = -1;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        termios raw{};
        ::tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
    }
    ~Pty()
    {
        if (slave >= 0) ::close(slave);
        if (master >= 0) ::close(master);
    }
};

pid_t spawn(const char* program, std::vector<std::string> args, int line, int other)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // rx takes relative names only.
    posix_spawn_file_actions_addchdir_np(&actions, "/tmp");
    posix_spawn_file_actions_adddup2(&actions, line, 0);
    posix_spawn_file_actions_adddup2(&actions, line, 1);
    posix_spawn_file_actions_addopen(&actions, 2, getenv("BENCH_LOG") ? getenv("BENCH_LOG") : "/dev/null", O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addclose(&actions, other);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int err = posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return err == 0 ? pid : -1;
}

constexpr auto PATIENCE = std::chrono::seconds(60);
constexpr int HUNG = -2;

// A peer that hangs is killed and counts as a failed transfer.
int wait_for(pid_t pid, std::chrono::seconds patience = PATIENCE)
{
    int status = 0;
    const auto deadline = Clock::now() + patience;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return HUNG;
        }
        ::usleep(1000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Stuck {};

// The receiver invites forever when the sender is gone; its own idle time
// (on the fake clock) bounds a transfer.
bool receive(int in_fd, int out_fd)
{
    fake::Board& b = fake::board();
    b.now_us = 0;
    b.sleeps_us.clear();
    b.on_time = [](uint64_t now) {
        if (now > 60'000'000) throw Stuck{};
    };
    bool completed = false;
    try {
        xmodem_receive(in_fd, out_fd, RECEIVED, &completed);
    } catch (const Stuck&) {
        completed = false;
    }
    return completed;
}

void quiet_stderr(bool quiet)
{
    static int saved = -1;
    if (quiet) {
        saved = ::dup(2);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::close(null);
    } else if (saved >= 0) {
        ::dup2(saved, 2);
        ::close(saved);
    }
}

// A serial link between two machines: the sender and the receiver each have
// a terminal of their own, and a relay carries the bytes between them. Paced,
// it passes sender bytes no faster than a 115200 bps 8N1 line carries them;
// the receiver's answers (a byte a packet) go back at once.
class Line {
public:
    explicit Line(bool paced) : paced_(paced)
    {
        set_nonblocking(sender_.master);
        set_nonblocking(receiver_.master);
        relay_ = std::thread([this] { relay(); });
    }
    ~Line()
    {
        stop_ = true;
        relay_.join();
    }
    int sender_tty() const { return sender_.slave; }
    int sender_other() const { return sender_.master; }
    int receiver_tty() const { return receiver_.slave; }
    int receiver_other() const { return receiver_.master; }

private:
    void relay()
    {
        Bytes queue;
        double busy_until = 0;  // when the line finishes what it was given
        const auto start = Clock::now();
        auto now = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
        while (!stop_) {
            pollfd fds[2] = {{sender_.master, POLLIN, 0}, {receiver_.master, POLLIN, 0}};
            ::poll(fds, 2, queue.empty() ? 10 : 1);
            uint8_t chunk[4096];
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(sender_.master, chunk, sizeof chunk);
                // An idle line starts on the new bytes; it banks no time.
                if (queue.empty()) busy_until = std::max(busy_until, now());
                if (n > 0) queue.insert(queue.end(), chunk, chunk + n);
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::read(receiver_.master, chunk, sizeof chunk);
                if (n > 0) (void)!::write(sender_.master, chunk, static_cast<size_t>(n));
            }
            if (queue.empty()) continue;
            size_t n = queue.size();
            if (paced_) {
                // A byte is through once its ten bits have been on the line.
                const double elapsed = now() - busy_until;
                n = elapsed <= 0 ? 0 : std::min(n, static_cast<size_t>(elapsed * LINE_BYTES_PER_S));
            }
            const ssize_t done = n > 0 ? ::write(receiver_.master, queue.data(), n) : 0;
            if (done > 0) {
                queue.erase(queue.begin(), queue.begin() + done);
                busy_until += static_cast<double>(done) / LINE_BYTES_PER_S;
            }
        }
    }

    Pty sender_, receiver_;
    bool paced_;
    std::atomic<bool> stop_{false};
    std::thread relay_;
};

// The sender is started first and given time to wait for the invitation: an
// invitation sent before it listens is lost, and lrzsz's rx repeats its
// own only after 14 s. What is measured is the transfer, not that race.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

// The receiver's side of the link is a terminal, as /dev/ttyS0 is; paced,
// the sender has a terminal of its own and the relay carries the bytes.
struct Link {
    std::unique_ptr<Line> line;
    Pty direct;
    int receiver_tty() const { return line ? line->receiver_tty() : direct.slave; }
    int receiver_other() const { return line ? line->receiver_other() : direct.master; }
    int sender_fd() const { return line ? line->sender_tty() : direct.master; }
    int sender_other() const { return line ? line->sender_other() : direct.slave; }
};

pid_t start_sender(const Link& link)
{
    const pid_t pid = spawn("/usr/bin/sx", {"sx", "-k", "-b", SENT}, link.sender_fd(), link.sender_other());
    settle();
    return pid;
}

// Which program sends to our receiver.
enum class From { sx, bladeflash };

// Seconds for our receiver to take the file, or a negative value.
double ours(bool paced, size_t size, From from = From::sx)
{
    ::unlink(RECEIVED);
    Link link;
    if (paced) link.line = std::make_unique<Line>(true);
    // Our own descriptor of the terminal: non-blocking reads must not leak
    // into the line's other users.
    const int tty = ::open(ptsname(link.receiver_other()), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (tty < 0) return -1;
    // bladeflash's sender sits on the terminal sx would have had, so the
    // sender is all that differs.
    const Bytes data = from == From::bladeflash ? read_file(SENT) : Bytes{};
    auto sent = bladeflash::SendResult::closed;
    std::thread flash;
    pid_t sender = 0;
    if (from == From::bladeflash) {
        flash = std::thread([&] {
            bladeflash::FdLine port(link.sender_fd(), link.sender_fd(), false);
            sent = bladeflash::xmodem_send(port, data, {});
        });
        settle();
    } else {
        sender = start_sender(link);
    }
    if (sender < 0) {
        ::close(tty);
        return -1;
    }
    const auto start = Clock::now();
    quiet_stderr(true);
    const bool completed = receive(tty, tty);
    quiet_stderr(false);
    const std::chrono::duration<double> took = Clock::now() - start;
    int status = 0;
    if (flash.joinable()) {
        flash.join();
        status = sent == bladeflash::SendResult::done ? 0 : 1;
    } else {
        status = wait_for(sender);
    }
    ::close(tty);
    return completed && status == 0 && received_ok(size) ? took.count() : -1;
}

// rx waits this long for a packet it has lost before it asks again. A clean
// transfer of the bench's sizes takes a fraction of it: one that lasts as
// long has waited out a packet that rx's own flush threw away, and measures
// that flush, not the receiver. Such a run is stopped there.
constexpr auto RX_TIMEOUT = std::chrono::seconds(10);
constexpr double STALLED = -2;

// Seconds for lrzsz's rx to take the file from sx, STALLED, or -1 when it failed.
double lrzsz(bool paced, size_t size)
{
    ::unlink(RECEIVED);
    Link link;
    if (paced) link.line = std::make_unique<Line>(true);
    const pid_t sender = start_sender(link);
    const auto start = Clock::now();
    const pid_t receiver =
        spawn("/usr/bin/rx", {"rx", "-c", "-b", "received"}, link.receiver_tty(), link.receiver_other());
    if (receiver < 0 || sender < 0) return -1;
    const int rx_status = wait_for(receiver, RX_TIMEOUT);
    const std::chrono::duration<double> took = Clock::now() - start;
    if (rx_status != 0) ::kill(sender, SIGKILL);
    const int sx_status = wait_for(sender);
    if (rx_status == HUNG) return STALLED;
    return rx_status == 0 && sx_status == 0 && received_ok(size) ? took.count() : -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? std::nan("") : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SIZE PACED_SIZE RUNS\n", argv[0]);
        return 2;
    }
    const auto size = static_cast<size_t>(std::strtoul(argv[1], nullptr, 0));
    const auto paced_size = static_cast<size_t>(std::strtoul(argv[2], nullptr, 0));
    const int runs = std::atoi(argv[3]);
    if (!fake::in_sandbox()) {
        std::fputs("bench_xmodem: run me through tests/sandbox-run\n", stderr);
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);
    fake::reset();
    fake::board().real_time = true;

    // Ours and lrzsz alternate, so that both see the same neighbours; each
    // pair gives one ratio. A failed rx is counted, not folded into them.
    write_sent(size);
    std::vector<double> t_ours, ratios;
    int failures = 0, stalls = 0;
    for (int i = 0; i < runs; ++i) {
        const double o = ours(false, size);
        if (o < 0) {
            std::fputs("bench_xmodem: our receiver failed\n", stderr);
            return 1;
        }
        t_ours.push_back(o);
        // rx gets a few tries at its side of the pair: its misses are its
        // input flush, counted apart, not a measure of either receiver.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const double l = lrzsz(false, size);
            if (l > 0) {
                ratios.push_back(o / l);
                break;
            }
            ++(l == STALLED ? stalls : failures);
        }
    }
    write_sent(paced_size);
    const double p_ours = ours(true, paced_size);
    if (p_ours < 0) {
        std::fputs("bench_xmodem: our receiver failed on the paced line\n", stderr);
        return 1;
    }
    std::printf("xmodem_ours_s: %.4f\n", median(t_ours));
    std::printf("xmodem_vs_lrzsz: %.3f\n", median(ratios));
    if (!ratios.empty())
        std::printf("xmodem_vs_lrzsz_min: %.3f\nxmodem_vs_lrzsz_max: %.3f\n",
                    *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
    // rx empties its input after every ACK; on a fast line that can eat
    // the next packet until it gives up. Not ours to fail on.
    std::printf("xmodem_lrzsz_failures: %d\n", failures);
    std::printf("xmodem_lrzsz_stalls: %d\n", stalls);
    std::printf("xmodem_line_efficiency: %.3f\n", static_cast<double>(paced_size) / p_ours / LINE_BYTES_PER_S);

    // bladeflash's sender against sx on the paced line, the order swapped
    // from one pair to the next.
    std::vector<double> t_flash, t_sx, flash_ratios;
    int flash_failures = 0;
    for (int i = 0; i < runs; ++i) {
        double f = 0, x = 0;
        if (i % 2 == 0) {
            f = ours(true, paced_size, From::bladeflash);
            x = ours(true, paced_size, From::sx);
        } else {
            x = ours(true, paced_size, From::sx);
            f = ours(true, paced_size, From::bladeflash);
        }
        if (f < 0 || x < 0) {
            ++flash_failures;
            continue;
        }
        t_flash.push_back(f);
        t_sx.push_back(x);
        flash_ratios.push_back(f / x);
    }
    std::printf("flash_send_s: %.4f\nflash_sx_s: %.4f\n", median(t_flash), median(t_sx));
    std::printf("flash_vs_sx: %.3f\n", median(flash_ratios));
    if (!flash_ratios.empty())
        std::printf("flash_vs_sx_min: %.3f\nflash_vs_sx_max: %.3f\n",
                    *std::min_element(flash_ratios.begin(), flash_ratios.end()),
                    *std::max_element(flash_ratios.begin(), flash_ratios.end()));
    std::printf("flash_sx_failures: %d\n", flash_failures);
    return 0;
}
