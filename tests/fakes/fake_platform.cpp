#include "fakes/fake_platform.hpp"

#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <mtd/mtd-user.h>
#include <net/if.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "launcher/state.hpp"
#include "platform/platform.hpp"

using namespace bladeboot;

namespace fake {
namespace {

Board* current = nullptr;

enum class DevKind { MTD, I2C, SERIAL, SOCKET };
struct Dev {
    DevKind kind;
    std::string path;
    int bus = -1;
};

// Fake descriptors live far above anything the test process opens for real,
// so every other descriptor can pass through to the OS.
constexpr int FIRST_FAKE_FD = 1000;
std::map<int, Dev> devices;
int next_fd = FIRST_FAKE_FD;

int fail(int err)
{
    errno = err;
    return -1;
}

Dev* device(int fd)
{
    auto it = devices.find(fd);
    return it == devices.end() ? nullptr : &it->second;
}

int add_device(Dev dev)
{
    const int fd = next_fd++;
    devices[fd] = std::move(dev);
    return fd;
}

void advance(uint64_t us)
{
    Board& b = board();
    b.sleeps_us.push_back(us);
    b.now_us += us;
    if (b.real_time) ::usleep(static_cast<useconds_t>(us));
    if (b.on_time) b.on_time(b.now_us);
}

// --- MTD ---------------------------------------------------------------

bool nth(int& counter, int fail_at)
{
    ++counter;
    return fail_at != 0 && counter == fail_at;
}

ssize_t mtd_pread(NorPartition& p, void* buf, size_t count, off_t offset)
{
    if (nth(p.reads, p.fail_read_at)) return fail(EIO);
    if (offset < 0) return fail(EINVAL);
    const auto size = static_cast<off_t>(p.bytes.size());
    if (offset >= size) return 0;
    const size_t n = std::min(count, static_cast<size_t>(size - offset));
    std::memcpy(buf, p.bytes.data() + offset, n);
    return static_cast<ssize_t>(n);
}

ssize_t mtd_pwrite(const std::string& path, NorPartition& p, const void* buf, size_t count, off_t offset)
{
    if (nth(p.writes, p.fail_write_at)) return fail(EIO);
    if (const int refused = boardmodel::program_refused(p.bytes.size(), offset, count)) return fail(refused);
    p.write_log.emplace_back(static_cast<uint32_t>(offset), static_cast<uint32_t>(count));
    // The launcher erases before it programs: a bit it would set is a fault.
    if (boardmodel::program(p.bytes.data() + offset, static_cast<const uint8_t*>(buf), count) != 0) {
        ADD_FAILURE() << path << ": write over unerased flash at offset 0x" << std::hex << offset;
        return fail(EIO);
    }
    return static_cast<ssize_t>(count);
}

// --- I2C ---------------------------------------------------------------

I2cOp& log_op(I2cOp::Kind kind, int bus)
{
    Board& b = board();
    b.i2c_log.push_back(I2cOp{kind, bus, b.bus[static_cast<size_t>(bus)].selected, {}, -1, 0});
    return b.i2c_log.back();
}

ssize_t i2c_write(int bus, const void* buf, size_t count)
{
    Board& b = board();
    I2cOp& op = log_op(I2cOp::WRITE, bus);
    const auto* bytes = static_cast<const uint8_t*>(buf);
    op.bytes.assign(bytes, bytes + count);
    return op.result = static_cast<int>(b.expander.write(bus, op.address, bytes, count));
}

ssize_t i2c_read(int bus, void* buf, size_t count)
{
    Board& b = board();
    I2cOp& op = log_op(I2cOp::READ, bus);
    auto* out = static_cast<uint8_t*>(buf);
    op.result = static_cast<int>(b.expander.read(bus, op.address, out, count));
    if (op.result > 0) op.bytes.assign(out, out + count);
    return op.result;
}

// --- serial ------------------------------------------------------------

ssize_t serial_read(void* buf, size_t count)
{
    Serial& s = board().serial;
    if (s.rx.empty()) return fail(EAGAIN);
    auto* out = static_cast<uint8_t*>(buf);
    size_t n = 0;
    while (n < count && !s.rx.empty()) {
        out[n++] = s.rx.front();
        s.rx.pop_front();
    }
    return static_cast<ssize_t>(n);
}

ssize_t serial_write(const void* buf, size_t count)
{
    Serial& s = board().serial;
    const auto* bytes = static_cast<const uint8_t*>(buf);
    for (size_t i = 0; i < count; ++i) {
        s.tx.push_back(bytes[i]);
        if (s.on_tx) s.on_tx(bytes[i]);
    }
    return static_cast<ssize_t>(count);
}

// --- console -----------------------------------------------------------

ssize_t console_read(void* buf, size_t count)
{
    Console& c = board().console;
    if (count == 0) return 0;
    if (c.keys.empty()) return 0;
    if (c.keys.front() == INTERRUPT) {
        c.keys.pop_front();
        sig_handler(SIGINT);
        return fail(EINTR);
    }
    auto* out = static_cast<uint8_t*>(buf);
    size_t n = 0;
    while (n < count && !c.keys.empty() && c.keys.front() != INTERRUPT) {
        out[n++] = static_cast<uint8_t>(c.keys.front());
        c.keys.pop_front();
    }
    return static_cast<ssize_t>(n);
}

}  // namespace

Board& board()
{
    if (!current) reset();
    return *current;
}

uint64_t Board::slept_us() const
{
    uint64_t total = 0;
    for (auto us : sleeps_us) total += us;
    return total;
}

void reset() { reset_with_partition_cap(UINT32_MAX); }

void reset_with_partition_cap(uint32_t cap)
{
    devices.clear();
    next_fd = FIRST_FAKE_FD;
    delete current;
    current = new Board;
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
    fake::Board& b = board();
    if (b.exec_fails) return fake::fail(ENOENT);
    throw fake::Execed{file, arg0};
}

void exit(int status) { throw fake::Exited{status}; }

int poll_in(int fd, int timeout_ms)
{
    fake::Board& b = board();
    if (fd == 0) {
        fake::Console& c = b.console;
        if (!c.keys.empty() && c.keys.front() == fake::INTERRUPT) {
            c.keys.pop_front();
            sig_handler(SIGINT);
            return fake::fail(EINTR);
        }
        if (!c.keys.empty() || c.at_eof) return 1;
        fake::advance(static_cast<uint64_t>(timeout_ms) * 1000u);
        return 0;
    }
    if (fake::Dev* d = fake::device(fd)) {
        if (d->kind == fake::DevKind::SERIAL && !b.serial.rx.empty()) return 1;
        fake::advance(static_cast<uint64_t>(timeout_ms) * 1000u);
        return 0;
    }
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms);
}

int open(const char* path, int flags)
{
    fake::Board& b = board();
    const std::string p = path;
    if (auto it = b.mtd.find(p); it != b.mtd.end()) {
        it->second.open_flags = flags;
        return fake::add_device({fake::DevKind::MTD, p});
    }
    if (p == "/dev/i2c-0" || p == "/dev/i2c-1") {
        const int bus = p.back() - '0';
        if (!b.bus[static_cast<size_t>(bus)].present) return fake::fail(ENOENT);
        return fake::add_device({fake::DevKind::I2C, p, bus});
    }
    if (p == "/dev/ttyS0") {
        if (!b.serial.exists) return fake::fail(ENOENT);
        b.serial.open_ = true;
        return fake::add_device({fake::DevKind::SERIAL, p});
    }
    return fake::fail(ENOENT);
}

int close(int fd)
{
    fake::Dev* d = fake::device(fd);
    if (!d) return fd >= fake::FIRST_FAKE_FD ? fake::fail(EBADF) : ::close(fd);
    if (d->kind == fake::DevKind::SERIAL) {
        board().serial.calls.emplace_back("close");
        board().serial.open_ = false;
    }
    fake::devices.erase(fd);
    return 0;
}

ssize_t read(int fd, void* buf, size_t count)
{
    if (fd == 0) return fake::console_read(buf, count);
    fake::Dev* d = fake::device(fd);
    if (!d) return fd >= fake::FIRST_FAKE_FD ? fake::fail(EBADF) : ::read(fd, buf, count);
    switch (d->kind) {
    case fake::DevKind::I2C: return fake::i2c_read(d->bus, buf, count);
    case fake::DevKind::SERIAL: return fake::serial_read(buf, count);
    default: return fake::fail(EINVAL);
    }
}

ssize_t write(int fd, const void* buf, size_t count)
{
    fake::Dev* d = fake::device(fd);
    if (!d) return fd >= fake::FIRST_FAKE_FD ? fake::fail(EBADF) : ::write(fd, buf, count);
    switch (d->kind) {
    case fake::DevKind::I2C: return fake::i2c_write(d->bus, buf, count);
    case fake::DevKind::SERIAL: return fake::serial_write(buf, count);
    default: return fake::fail(EINVAL);
    }
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset)
{
    fake::Dev* d = fake::device(fd);
    if (!d) return fd >= fake::FIRST_FAKE_FD || fd < 0 ? fake::fail(EBADF) : ::pread(fd, buf, count, offset);
    if (d->kind != fake::DevKind::MTD) return fake::fail(ESPIPE);
    return fake::mtd_pread(board().part(d->path), buf, count, offset);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    fake::Dev* d = fake::device(fd);
    if (!d) return fd >= fake::FIRST_FAKE_FD || fd < 0 ? fake::fail(EBADF) : ::pwrite(fd, buf, count, offset);
    if (d->kind != fake::DevKind::MTD) return fake::fail(ESPIPE);
    return fake::mtd_pwrite(d->path, board().part(d->path), buf, count, offset);
}

int tcgetattr(int fd, struct termios* tio)
{
    fake::Board& b = board();
    if (fd == 0) {
        if (!b.console.is_tty) return fake::fail(ENOTTY);
        *tio = b.console.attr;
        return 0;
    }
    fake::Dev* d = fake::device(fd);
    if (!d) return ::tcgetattr(fd, tio);
    if (d->kind != fake::DevKind::SERIAL) return fake::fail(ENOTTY);
    *tio = b.serial.attr;
    return 0;
}

int tcsetattr(int fd, int actions, const struct termios* tio)
{
    fake::Board& b = board();
    if (fd == 0) {
        if (!b.console.is_tty) return fake::fail(ENOTTY);
        b.console.attr = *tio;
        b.console.attr_history.push_back(*tio);
        return 0;
    }
    fake::Dev* d = fake::device(fd);
    if (!d) return ::tcsetattr(fd, actions, tio);
    if (d->kind != fake::DevKind::SERIAL) return fake::fail(ENOTTY);
    b.serial.attr = *tio;
    b.serial.calls.push_back("tcsetattr " + std::to_string(actions));
    return 0;
}

namespace {
int serial_call(int fd, const std::string& what, int (*real)(int, int), int arg)
{
    fake::Dev* d = fake::device(fd);
    if (!d) return real(fd, arg);
    if (d->kind != fake::DevKind::SERIAL) return fake::fail(ENOTTY);
    board().serial.calls.push_back(what);
    return 0;
}
}  // namespace

int tcdrain(int fd) { return serial_call(fd, "tcdrain", [](int f, int) { return ::tcdrain(f); }, 0); }

int tcflush(int fd, int queue)
{
    return serial_call(fd, "tcflush " + std::to_string(queue), ::tcflush, queue);
}

int tcflow(int fd, int action) { return serial_call(fd, "tcflow " + std::to_string(action), ::tcflow, action); }

int mtd_getinfo(int fd, struct mtd_info_user* info)
{
    fake::Dev* d = fake::device(fd);
    if (!d || d->kind != fake::DevKind::MTD) return fake::fail(d ? ENOTTY : EBADF);
    fake::NorPartition& p = board().part(d->path);
    if (p.getinfo_fails) return fake::fail(EIO);
    *info = mtd_info_user{};
    info->type = p.type;
    info->flags = MTD_CAP_NORFLASH;
    info->size = static_cast<uint32_t>(p.bytes.size());
    info->erasesize = p.erase_size;
    info->writesize = 1;
    return 0;
}

int mtd_erase(int fd, uint32_t start, uint32_t length)
{
    fake::Dev* d = fake::device(fd);
    if (!d || d->kind != fake::DevKind::MTD) return fake::fail(d ? ENOTTY : EBADF);
    fake::NorPartition& p = board().part(d->path);
    if (fake::nth(p.erases, p.fail_erase_at)) return fake::fail(EIO);
    if (const int refused = boardmodel::erase_refused(p.bytes.size(), p.erase_size, start, length))
        return fake::fail(refused);
    const uint64_t end = uint64_t{start} + length;
    p.erase_log.emplace_back(start, length);
    std::fill(p.bytes.begin() + start, p.bytes.begin() + static_cast<long>(end), uint8_t{0xFF});
    return 0;
}

int i2c_select(int fd, int address7)
{
    fake::Dev* d = fake::device(fd);
    if (!d || d->kind != fake::DevKind::I2C) return fake::fail(d ? ENOTTY : EBADF);
    fake::I2cBus& bus = board().bus[static_cast<size_t>(d->bus)];
    fake::I2cOp& op = fake::log_op(fake::I2cOp::SELECT, d->bus);
    op.address = address7;
    if (bus.select_fails) return op.result = fake::fail(EBUSY);
    bus.selected = address7;
    return 0;
}

int smbus_read_byte_data(int fd, uint8_t command)
{
    fake::Dev* d = fake::device(fd);
    if (!d || d->kind != fake::DevKind::I2C) return fake::fail(d ? ENOTTY : EBADF);
    fake::I2cOp& op = fake::log_op(fake::I2cOp::SMBUS_READ, d->bus);
    op.command = command;
    op.result = board().expander.read_register(d->bus, op.address, command);
    if (op.result >= 0) op.bytes = {static_cast<uint8_t>(op.result)};
    return op.result;
}

int smbus_write_byte_data(int fd, uint8_t command, uint8_t value)
{
    fake::Dev* d = fake::device(fd);
    if (!d || d->kind != fake::DevKind::I2C) return fake::fail(d ? ENOTTY : EBADF);
    fake::I2cOp& op = fake::log_op(fake::I2cOp::SMBUS_WRITE, d->bus);
    op.command = command;
    op.bytes = {value};
    return op.result = board().expander.write_register(d->bus, op.address, command, value);
}

int socket(int domain, int type, int protocol)
{
    if (domain != AF_INET || (type & ~SOCK_CLOEXEC) != SOCK_DGRAM || protocol != 0) return fake::fail(EACCES);
    return fake::add_device({fake::DevKind::SOCKET, "socket"});
}

int ioctl_ifreq(int fd, unsigned long request, struct ifreq* req)
{
    fake::Dev* d = fake::device(fd);
    if (!d || d->kind != fake::DevKind::SOCKET) return fake::fail(EBADF);
    if (std::strcmp(req->ifr_name, "eth0") != 0) return fake::fail(ENODEV);
    const fake::Net& net = board().net;
    if (request == SIOCGIFINDEX) req->ifr_ifindex = 2;
    if (request == SIOCGIFFLAGS) req->ifr_flags = net.flags;
    if (request == SIOCETHTOOL) reinterpret_cast<ethtool_value*>(req->ifr_data)->data = net.link;
    return request == SIOCGIFINDEX || request == SIOCGIFFLAGS || request == SIOCETHTOOL ? 0 : fake::fail(EINVAL);
}

}  // namespace plat
