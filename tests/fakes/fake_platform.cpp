#include "fakes/fake_platform.hpp"

#include <net/if.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "launcher/state.hpp"
#include "platform/platform.hpp"

using namespace bladeboot;

namespace fake {
namespace {

std::unique_ptr<Board> current;

using Kind = boardmodel::DeviceKind;

// Fake descriptors live far above anything the test process opens for real,
// so every descriptor below them passes through to the OS.
constexpr int FIRST_FAKE_FD = 1000;
boardmodel::Devices devices;
int next_fd = FIRST_FAKE_FD;

bool real(int fd) { return fd < FIRST_FAKE_FD; }

int fail(int err) { return errno = err, -1; }

boardmodel::Device* dev(int fd, Kind kind, int wrong = ENOTTY) { return devices.find(fd, kind, wrong); }

int add(boardmodel::Device d)
{
    devices.add(next_fd, std::move(d));
    return next_fd++;
}

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
    boardmodel::Device* d = dev(fd, Kind::MTD, wrong);
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

// The console (descriptor 0) or the serial port; nullptr when fd is no terminal.
struct termios* tty(int fd)
{
    Board& b = board();
    if (fd == 0) return &b.console.attr;
    return dev(fd, Kind::SERIAL) ? &b.serial.attr : nullptr;
}

int serial_call(int fd, std::string what)
{
    if (!dev(fd, Kind::SERIAL)) return -1;
    board().serial.calls.push_back(std::move(what));
    return 0;
}

}  // namespace

Board& board()
{
    if (!current) reset();
    return *current;
}

void reset() { reset_with_partition_cap(UINT32_MAX); }

void reset_with_partition_cap(uint32_t cap)
{
    devices.clear();
    next_fd = FIRST_FAKE_FD;
    current = std::make_unique<Board>();
    for (const auto& part : boardmodel::PARTITIONS) current->mtd[part.device].resize(std::min(part.size, cap));
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

namespace {
// Anything linked with the fake board writes /tmp, /user and /mnt/usb by
// their real names: outside the sandbox not one line of it may run, and an
// assertion in a fixture would stop only that fixture.
const bool sandbox_checked = [] {
    if (in_sandbox()) return true;
    std::fputs("run this through tests/sandbox-run (ctest does): it writes /tmp, /user and /mnt/usb\n", stderr);
    std::_Exit(2);
}();
}  // namespace

void BoardTest::SetUp()
{
    ASSERT_TRUE(sandbox_checked && in_sandbox()) << "run the tests through tests/sandbox-run (ctest does)";
    reset();
    clean_sandbox_dirs();
}

}  // namespace fake

// --- the seam ------------------------------------------------------------

namespace plat {

using fake::board;
using fake::Kind;

int system(const char* command)
{
    fake::Board& b = board();
    b.commands.emplace_back(command);
    return b.on_command ? b.on_command(command) : b.system_result;
}

void sleep(unsigned seconds) { fake::advance(uint64_t{seconds} * 1000000u); }
void usleep(unsigned long microseconds) { fake::advance(microseconds); }

int exec(const char* file, const char* arg0)
{
    throw fake::Execed{file, arg0};
}

void exit(int status) { throw fake::Exited{status}; }

int poll_in(int fd, int timeout_ms)
{
    fake::Board& b = board();
    if (fd == 0 && fake::interrupted(b.console)) return fake::fail(EINTR);
    if (fd == 0 ? !b.console.keys.empty() || b.console.at_eof : fake::dev(fd, Kind::SERIAL) && !b.serial.rx.empty())
        return 1;
    if (fd != 0 && !fake::devices.at(fd)) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, timeout_ms);
    }
    fake::advance(static_cast<uint64_t>(timeout_ms) * 1000u);
    return 0;
}

int open(const char* path, int flags)
{
    fake::Board& b = board();
    const std::string p = path;
    if (auto it = b.mtd.find(p); it != b.mtd.end()) {
        it->second.open_flags = flags;
        return fake::add({Kind::MTD, -1, -1, p});
    }
    if (const int bus = boardmodel::i2c_bus(p); bus >= 0) return fake::add({Kind::I2C, bus});
    if (p == "/dev/ttyS0" && b.serial.exists) return fake::add({Kind::SERIAL});
    return fake::fail(ENOENT);
}

int close(int fd)
{
    if (fake::real(fd)) return ::close(fd);
    if (fake::dev(fd, Kind::SERIAL)) board().serial.calls.emplace_back("close");
    return fake::devices.remove(fd) ? 0 : fake::fail(EBADF);
}

ssize_t read(int fd, void* buf, size_t count)
{
    auto* out = static_cast<uint8_t*>(buf);
    fake::Board& b = board();
    if (fd == 0 && b.console.on_read) b.console.on_read();
    if (fd == 0 && count != 0 && fake::interrupted(b.console)) return fake::fail(EINTR);
    if (fd == 0) return fake::take(b.console.keys, out, count);
    if (fake::real(fd)) return ::read(fd, buf, count);
    if (fake::dev(fd, Kind::SERIAL))
        return b.serial.rx.empty() ? fake::fail(EAGAIN) : fake::take(b.serial.rx, out, count);
    return b.expander.read(fake::dev(fd, Kind::I2C, EINVAL), out, count);
}

ssize_t write(int fd, const void* buf, size_t count)
{
    const auto* bytes = static_cast<const uint8_t*>(buf);
    if (fake::real(fd)) return ::write(fd, buf, count);
    if (fake::dev(fd, Kind::SERIAL)) {
        fake::Serial& s = board().serial;
        for (size_t i = 0; i < count; ++i) {
            s.tx.push_back(bytes[i]);
            if (s.on_tx) s.on_tx(bytes[i]);
        }
        return static_cast<ssize_t>(count);
    }
    return board().expander.write(fake::dev(fd, Kind::I2C, EINVAL), bytes, count);
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset)
{
    if (fake::real(fd)) return ::pread(fd, buf, count, offset);
    fake::NorPartition* p = fake::nor(fd, ESPIPE);
    if (!p || fake::injected(p->reads, p->fail_read_at)) return -1;
    if (offset < 0) return fake::fail(EINVAL);
    const auto size = static_cast<off_t>(p->bytes.size());
    const size_t n = offset >= size ? 0 : std::min(count, static_cast<size_t>(size - offset));
    std::copy_n(p->bytes.data() + offset, n, static_cast<uint8_t*>(buf));
    return static_cast<ssize_t>(n);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    if (fake::real(fd)) return ::pwrite(fd, buf, count, offset);
    fake::NorPartition* p = fake::nor(fd, ESPIPE);
    if (!p || fake::injected(p->writes, p->fail_write_at)) return -1;
    if (const int refused = boardmodel::program_refused(p->bytes.size(), offset, count)) return fake::fail(refused);
    p->write_log.emplace_back(static_cast<uint32_t>(offset), static_cast<uint32_t>(count));
    // The launcher erases before it programs: a bit it would set is a fault.
    if (boardmodel::program(p->bytes.data() + offset, static_cast<const uint8_t*>(buf), count) != 0) {
        ADD_FAILURE() << fake::devices.at(fd)->path << ": write over unerased flash at offset 0x" << std::hex << offset;
        return fake::fail(EIO);
    }
    return static_cast<ssize_t>(count);
}

int tcgetattr(int fd, struct termios* tio)
{
    if (fd != 0 && fake::real(fd)) return ::tcgetattr(fd, tio);
    const struct termios* t = fake::tty(fd);
    return t ? (*tio = *t, 0) : -1;
}

int tcsetattr(int fd, int actions, const struct termios* tio)
{
    if (fd != 0 && fake::real(fd)) return ::tcsetattr(fd, actions, tio);
    struct termios* t = fake::tty(fd);
    if (!t) return -1;
    *t = *tio;
    if (fd == 0) board().console.attr_history.push_back(*tio);
    if (fd != 0) board().serial.calls.push_back("tcsetattr " + std::to_string(actions));
    return 0;
}

int tcdrain(int fd) { return fake::real(fd) ? ::tcdrain(fd) : fake::serial_call(fd, "tcdrain"); }

int tcflush(int fd, int queue)
{
    return fake::real(fd) ? ::tcflush(fd, queue) : fake::serial_call(fd, "tcflush " + std::to_string(queue));
}

int tcflow(int fd, int action)
{
    return fake::real(fd) ? ::tcflow(fd, action) : fake::serial_call(fd, "tcflow " + std::to_string(action));
}

int mtd_getinfo(int fd, struct mtd_info_user* info)
{
    const fake::NorPartition* p = fake::nor(fd);
    if (!p) return -1;
    if (p->getinfo_fails) return fake::fail(EIO);
    boardmodel::nor_info(*info, static_cast<uint32_t>(p->bytes.size()), p->erase_size);
    return 0;
}

int mtd_erase(int fd, uint32_t start, uint32_t length)
{
    fake::NorPartition* p = fake::nor(fd);
    if (!p || fake::injected(p->erases, p->fail_erase_at)) return -1;
    if (const int refused = boardmodel::erase_refused(p->bytes.size(), p->erase_size, start, length))
        return fake::fail(refused);
    p->erase_log.emplace_back(start, length);
    std::fill_n(p->bytes.data() + start, length, uint8_t{0xFF});
    return 0;
}

int i2c_select(int fd, int address7)
{
    return boardmodel::I2cDevices::select(fake::dev(fd, Kind::I2C), address7);
}

int smbus_read_byte_data(int fd, uint8_t command)
{
    return board().expander.read_register(fake::dev(fd, Kind::I2C), command);
}

int smbus_write_byte_data(int fd, uint8_t command, uint8_t value)
{
    return board().expander.write_register(fake::dev(fd, Kind::I2C), command, value);
}

int socket(int domain, int type, int protocol)
{
    if (domain != AF_INET || (type & ~SOCK_CLOEXEC) != SOCK_DGRAM || protocol != 0) return fake::fail(EACCES);
    return fake::add({Kind::SOCKET});
}

int ioctl_ifreq(int fd, unsigned long request, struct ifreq* req)
{
    if (!fake::dev(fd, Kind::SOCKET, EBADF)) return -1;
    if (std::strcmp(req->ifr_name, "eth0") != 0) return fake::fail(ENODEV);
    return boardmodel::eth0_request(request, req, board().link);
}

}  // namespace plat
