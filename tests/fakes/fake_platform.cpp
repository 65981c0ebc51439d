#include "fakes/fake_platform.hpp"

#include <net/if.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include "launcher/state.hpp"
#include "platform/platform.hpp"

using namespace bladeboot;

namespace fake {
namespace {

std::unique_ptr<Board> current;

using Kind = boardmodel::DeviceKind;

// Fake descriptors live far above anything the test process opens for real,
// so every descriptor below them but the console passes through to the OS.
constexpr int FIRST_FAKE_FD = 1000;
boardmodel::Devices devices;
int next_fd = FIRST_FAKE_FD;

bool real(int fd) { return fd > 0 && fd < FIRST_FAKE_FD; }
int fail(int err) { return errno = err, -1; }
boardmodel::Device* dev(int fd, Kind kind, int wrong = ENOTTY) { return devices.find(fd, kind, wrong); }
boardmodel::Device* i2c(int fd, int wrong = ENOTTY) { return dev(fd, Kind::I2C, wrong); }
int add(boardmodel::Device d) { return devices.add(next_fd, std::move(d)), next_fd++; }

// The one failure injection: the fail_at-th call of a kind fails with EIO.
bool injected(int& calls, int fail_at) { return ++calls == fail_at && fail(EIO); }

void advance(uint64_t us)
{
    Board& b = board();
    b.sleeps_us.push_back(us);
    b.now_us += us;
    if (b.real_time) ::usleep(static_cast<useconds_t>(us));
    if (b.on_time) b.on_time(b.now_us);
}

NorPartition* nor(int fd, int wrong = ENOTTY)
{
    const boardmodel::Device* d = dev(fd, Kind::MTD, wrong);
    return d ? &board().part(d->path) : nullptr;
}

// Ctrl-C: SIGINT's handler runs and the pending call fails with EINTR.
bool interrupted(Console& c)
{
    if (c.keys.empty() || c.keys.front() != INTERRUPT) return false;
    c.keys.pop_front();
    sig_handler(SIGINT);
    return true;
}

// Hands over queued bytes up to count, stopping before an INTERRUPT.
template <class Queue>
ssize_t take(Queue& queue, uint8_t* out, size_t count)
{
    size_t n = 0;
    for (; n < count && !queue.empty() && static_cast<int>(queue.front()) != INTERRUPT; ++n, queue.pop_front())
        out[n] = static_cast<uint8_t>(queue.front());
    return static_cast<ssize_t>(n);
}

// The serial port's calls are logged, "tcflush 2"; -1 when fd is not the port.
int logged(int fd, std::string call, int arg = -1)
{
    if (arg >= 0) call += " " + std::to_string(arg);
    return dev(fd, Kind::SERIAL) ? (board().serial.calls.push_back(call), 0) : -1;
}

// Anything linked with the fake board writes /tmp, /user and /mnt/usb by
// their real names: outside the sandbox not one line of it may run, and an
// assertion in a fixture would stop only that fixture.
[[maybe_unused]] const bool sandbox_checked = in_sandbox() || []() -> bool {
    std::fputs("run this through tests/sandbox-run (ctest does): it writes /tmp, /user and /mnt/usb\n", stderr);
    std::_Exit(2);
}();

}  // namespace

Board& board() { return current ? *current : (reset(), *current); }

void reset() { reset_with_partition_cap(UINT32_MAX); }

void reset_with_partition_cap(uint32_t cap)
{
    devices.clear();
    next_fd = FIRST_FAKE_FD;
    current = std::make_unique<Board>();
    for (const auto& part : boardmodel::PARTITIONS)
        current->mtd[part.device].bytes.assign(std::min(part.size, cap), 0xFF);
    sig_quit_raised = 0;
}

void load_partition(const std::string& path, uint32_t offset, const std::vector<uint8_t>& data)
{
    auto& bytes = board().part(path).bytes;
    ASSERT_LE(offset + data.size(), bytes.size()) << path;
    std::copy(data.begin(), data.end(), bytes.begin() + offset);
}

bool in_sandbox()
{
    const char* flag = std::getenv("BLADEBOOT_SANDBOX");
    return flag && std::strcmp(flag, "1") == 0 && std::filesystem::is_directory("/user");
}

void clean_sandbox_dirs()
{
    if (!in_sandbox()) return;
    for (const char* dir : {"/tmp", "/user", "/mnt/usb", "/bin"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
            std::filesystem::remove_all(entry.path(), ec);
    }
}

void BoardTest::SetUp() { reset(), clean_sandbox_dirs(); }

}  // namespace fake

// --- the seam ------------------------------------------------------------

namespace plat {

using namespace fake;

int system(const char* command)
{
    Board& b = board();
    b.commands.emplace_back(command);
    return b.on_command ? b.on_command(command) : b.system_result;
}

void sleep(unsigned seconds) { advance(uint64_t{seconds} * 1000000u); }
void usleep(unsigned long microseconds) { advance(microseconds); }
int exec(const char*, const char*) { throw Execed{}; }
void exit(int) { throw Exited{}; }

int poll_in(int fd, int timeout_ms)
{
    Board& b = board();
    pollfd p{fd, POLLIN, 0};
    if (real(fd)) return ::poll(&p, 1, timeout_ms);
    if (fd == 0 && interrupted(b.console)) return fail(EINTR);
    if (fd == 0 ? !b.console.keys.empty() || b.console.at_eof : dev(fd, Kind::SERIAL) && !b.serial.rx.empty()) return 1;
    advance(static_cast<uint64_t>(timeout_ms) * 1000u);
    return 0;
}

int open(const char* path, int flags)
{
    Board& b = board();
    const std::string p = path;
    if (auto it = b.mtd.find(p); it != b.mtd.end()) return it->second.open_flags = flags, add({Kind::MTD, -1, -1, p});
    if (const int bus = boardmodel::i2c_bus(p); bus >= 0) return add({Kind::I2C, bus});
    if (p == "/dev/ttyS0" && b.serial.exists) return add({Kind::SERIAL});
    return fail(ENOENT);
}

int close(int fd)
{
    if (real(fd)) return ::close(fd);
    logged(fd, "close");
    return devices.remove(fd) ? 0 : fail(EBADF);
}

ssize_t read(int fd, void* buf, size_t count)
{
    auto* out = static_cast<uint8_t*>(buf);
    Board& b = board();
    if (real(fd)) return ::read(fd, buf, count);
    if (fd == 0 && b.console.on_read) b.console.on_read();
    if (fd == 0 && count != 0 && interrupted(b.console)) return fail(EINTR);
    if (fd == 0) return take(b.console.keys, out, count);
    if (dev(fd, Kind::SERIAL)) return b.serial.rx.empty() ? fail(EAGAIN) : take(b.serial.rx, out, count);
    return b.expander.read(i2c(fd, EINVAL), out, count);
}

ssize_t write(int fd, const void* buf, size_t count)
{
    const auto* bytes = static_cast<const uint8_t*>(buf);
    if (real(fd)) return ::write(fd, buf, count);
    if (!dev(fd, Kind::SERIAL)) return board().expander.write(i2c(fd, EINVAL), bytes, count);
    Serial& s = board().serial;
    for (size_t i = 0; i < count; ++i) {
        s.tx.push_back(bytes[i]);
        if (s.on_tx) s.on_tx(bytes[i]);
    }
    return static_cast<ssize_t>(count);
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset)
{
    if (real(fd)) return ::pread(fd, buf, count, offset);
    NorPartition* p = nor(fd, ESPIPE);
    if (!p || injected(p->reads, p->fail_read_at)) return -1;
    if (offset < 0) return fail(EINVAL);
    const auto size = static_cast<off_t>(p->bytes.size());
    const size_t n = offset >= size ? 0 : std::min(count, static_cast<size_t>(size - offset));
    std::copy_n(p->bytes.data() + offset, n, static_cast<uint8_t*>(buf));
    return static_cast<ssize_t>(n);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    if (real(fd)) return ::pwrite(fd, buf, count, offset);
    NorPartition* p = nor(fd, ESPIPE);
    if (!p || injected(p->writes, p->fail_write_at)) return -1;
    if (const int refused = boardmodel::program_refused(p->bytes.size(), offset, count)) return fail(refused);
    p->write_log.emplace_back(static_cast<uint32_t>(offset), static_cast<uint32_t>(count));
    // The launcher erases before it programs: a bit it would set is a fault.
    if (boardmodel::program(p->bytes.data() + offset, static_cast<const uint8_t*>(buf), count) != 0) {
        ADD_FAILURE() << devices.at(fd)->path << ": write over unerased flash at offset 0x" << std::hex << offset;
        return fail(EIO);
    }
    return static_cast<ssize_t>(count);
}

int tcgetattr(int fd, struct termios* tio)
{
    if (real(fd)) return ::tcgetattr(fd, tio);
    if (fd == 0) return *tio = board().console.attr, 0;
    return dev(fd, Kind::SERIAL) ? (*tio = board().serial.attr, 0) : -1;
}

int tcsetattr(int fd, int actions, const struct termios* tio)
{
    if (real(fd)) return ::tcsetattr(fd, actions, tio);
    if (fd == 0) return board().console.attr_history.push_back(board().console.attr = *tio), 0;
    return logged(fd, "tcsetattr", actions) ? -1 : (board().serial.attr = *tio, 0);
}

int tcdrain(int fd) { return real(fd) ? ::tcdrain(fd) : logged(fd, "tcdrain"); }
int tcflush(int fd, int queue) { return real(fd) ? ::tcflush(fd, queue) : logged(fd, "tcflush", queue); }
int tcflow(int fd, int action) { return real(fd) ? ::tcflow(fd, action) : logged(fd, "tcflow", action); }

int mtd_getinfo(int fd, struct mtd_info_user* info)
{
    const NorPartition* p = nor(fd);
    if (!p || (p->getinfo_fails && fail(EIO))) return -1;
    boardmodel::nor_info(*info, static_cast<uint32_t>(p->bytes.size()), p->erase_size);
    return 0;
}

int mtd_erase(int fd, uint32_t start, uint32_t length)
{
    NorPartition* p = nor(fd);
    if (!p || injected(p->erases, p->fail_erase_at)) return -1;
    if (const int e = boardmodel::erase_refused(p->bytes.size(), p->erase_size, start, length)) return fail(e);
    p->erase_log.emplace_back(start, length);
    std::fill_n(p->bytes.data() + start, length, uint8_t{0xFF});
    return 0;
}

int i2c_select(int fd, int address7) { return boardmodel::I2cDevices::select(i2c(fd), address7); }
int smbus_read_byte_data(int fd, uint8_t reg) { return board().expander.read_register(i2c(fd), reg); }
int smbus_write_byte_data(int fd, uint8_t reg, uint8_t v) { return board().expander.write_register(i2c(fd), reg, v); }

int socket(int domain, int type, int protocol)
{
    if (domain != AF_INET || (type & ~SOCK_CLOEXEC) != SOCK_DGRAM || protocol != 0) return fail(EACCES);
    return add({Kind::SOCKET});
}

int ioctl_ifreq(int fd, unsigned long request, struct ifreq* req)
{
    if (!dev(fd, Kind::SOCKET, EBADF)) return -1;
    return std::strcmp(req->ifr_name, "eth0") != 0 ? fail(ENODEV) : boardmodel::eth0_request(request, req, true);
}

}  // namespace plat
