// bladesim's board: the launcher's devices modelled over the board folder's
// files, inside the sandbox that bladesim builds (paths in sim_board.hpp).
//
// The devices follow the board model (board_model.hpp): NOR flash over the
// partition files bound at /dev/mtd-*, the EEPROM over /sim/eeprom.bin.
// eth0 is up with link unless /sim/net/link says 0.
// Shell commands are logged before they run; every wait is divided by
// $BLADESIM_SPEED.
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/board_model.hpp"
#include "platform/platform.hpp"
#include "platform/sim_board.hpp"

namespace {

// The seam runs `reboot` and friends for real; outside the sandbox that would
// reach this machine, so the program stops before main().
struct SandboxGuard {
    SandboxGuard()
    {
        struct stat st {};
        char comm[32] = {};
        if (FILE* f = std::fopen("/proc/1/comm", "r")) {
            if (!std::fgets(comm, sizeof comm, f)) comm[0] = '\0';
            std::fclose(f);
        }
        if (::stat(simboard::SANDBOX_MARK, &st) == 0 && std::strncmp(comm, "bwrap", 5) == 0) return;
        std::fputs("this program runs only inside a bladesim board (bladesim run/exec)\n", stderr);
        ::_exit(70);
    }
} const guard;

using boardmodel::Device;
using Kind = boardmodel::DeviceKind;
boardmodel::Devices devices;

int fail(int err)
{
    errno = err;
    return -1;
}

double speed()
{
    static const double value = [] {
        const char* text = std::getenv(simboard::SPEED_ENV);
        const double v = text ? std::strtod(text, nullptr) : 1.0;
        return v >= 1.0 ? v : 1.0;
    }();
    return value;
}

void sleep_scaled(double microseconds)
{
    const double us = microseconds / speed();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(us / 1e6);
    ts.tv_nsec = static_cast<long>((us - static_cast<double>(ts.tv_sec) * 1e6) * 1e3);
    // One nanosleep: a signal cuts the wait short, as on the board.
    ::nanosleep(&ts, nullptr);
}

void log_line(const std::string& line)
{
    const int fd = ::open(simboard::COMMAND_LOG, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = line + "\n";
    ssize_t ignored = ::write(fd, text.data(), text.size());
    (void)ignored;
    ::close(fd);
}

// --- NOR flash -----------------------------------------------------------

off_t file_size(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : 0;
}

ssize_t nor_program(int fd, const void* buf, size_t count, off_t offset)
{
    if (const int refused = boardmodel::program_refused(static_cast<uint64_t>(file_size(fd)), offset, count))
        return fail(refused);
    // Filled by the read below: no need to zero it first.
    const std::unique_ptr<uint8_t[]> cells = std::make_unique_for_overwrite<uint8_t[]>(count);
    if (::pread(fd, cells.get(), count, offset) != static_cast<ssize_t>(count)) return fail(EIO);
    boardmodel::program(cells.get(), static_cast<const uint8_t*>(buf), count);
    return ::pwrite(fd, cells.get(), count, offset);
}

int nor_erase(int fd, uint32_t start, uint32_t length)
{
    if (const int refused = boardmodel::erase_refused(static_cast<uint64_t>(file_size(fd)), boardmodel::ERASE_SIZE,
                                                      start, length))
        return fail(refused);
    static const std::vector<uint8_t> erased(boardmodel::ERASE_SIZE, 0xFF);
    for (uint64_t at = start; at < uint64_t{start} + length; at += boardmodel::ERASE_SIZE) {
        if (::pwrite(fd, erased.data(), erased.size(), static_cast<off_t>(at)) != static_cast<ssize_t>(erased.size()))
            return fail(EIO);
    }
    return 0;
}

// --- I2C -----------------------------------------------------------------

// The EEPROM's bytes are the board folder's eeprom.bin; without it the part
// does not answer.
struct EepromFile : boardmodel::I2cDevices::Cells {
    int fd = -2;  // -2: not opened yet
    bool present() override
    {
        if (fd == -2) fd = ::open(simboard::EEPROM_FILE, O_RDWR | O_CLOEXEC);
        return fd >= 0;
    }
    uint8_t get(uint16_t at) override
    {
        uint8_t byte = 0xFF;
        return ::pread(fd, &byte, 1, at) == 1 ? byte : 0xFF;
    }
    bool put(uint16_t at, uint8_t value) override { return ::pwrite(fd, &value, 1, at) == 1; }
};
EepromFile eeprom_file;
boardmodel::I2cDevices i2c(eeprom_file);

// --- eth0 ----------------------------------------------------------------

bool eth0_has_link()
{
    char text[8] = {};
    if (FILE* f = std::fopen(simboard::NET_LINK_FILE, "r")) {
        if (!std::fgets(text, sizeof text, f)) text[0] = '\0';
        std::fclose(f);
    }
    return text[0] != '0';
}

}  // namespace

namespace plat {

int system(const char* command)
{
    log_line(simboard::escape_command(command));
    return std::system(command);
}

void sleep(unsigned seconds) { sleep_scaled(seconds * 1e6); }
void usleep(unsigned long microseconds) { sleep_scaled(static_cast<double>(microseconds)); }

int exec(const char* file, const char* arg0)
{
    log_line(std::string("exec ") + simboard::escape_command(file));
    return ::execlp(file, arg0, static_cast<char*>(nullptr));
}

void exit(int status) { std::exit(status); }

int poll_in(int fd, int timeout_ms)
{
    if (timeout_ms > 0) timeout_ms = std::max(1, static_cast<int>(timeout_ms / speed()));
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms);
}

int open(const char* path, int flags)
{
    const std::string p = path;
    if (p.rfind("/dev/mtd-", 0) == 0) {
        // MTD writes are synchronous on the board whatever the flags; on a
        // host file O_SYNC would only turn every 1 KiB piece into a disk flush.
        const int fd = ::open(path, (flags & ~O_SYNC) | O_CLOEXEC);
        if (fd >= 0) devices.add(fd, {Kind::MTD});
        return fd;
    }
    if (const int bus = boardmodel::i2c_bus(p); bus >= 0) {
        // The bus itself carries no data of its own; the devices on it are
        // modelled here, so any descriptor will do.
        const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd >= 0) devices.add(fd, {Kind::I2C, bus});
        return fd;
    }
    return ::open(path, flags);
}

int close(int fd)
{
    devices.remove(fd);
    return ::close(fd);
}

ssize_t read(int fd, void* buf, size_t count)
{
    const Device* d = devices.at(fd);
    if (d && d->kind == Kind::I2C) return i2c.read(d, static_cast<uint8_t*>(buf), count);
    return ::read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count)
{
    const Device* d = devices.at(fd);
    if (d && d->kind == Kind::I2C) return i2c.write(d, static_cast<const uint8_t*>(buf), count);
    if (d && d->kind == Kind::MTD) {
        // mtdchar writes at the file position, by the same rules as pwrite.
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        const ssize_t n = at < 0 ? -1 : nor_program(fd, buf, count, at);
        if (n > 0) ::lseek(fd, at + n, SEEK_SET);
        return n;
    }
    return ::write(fd, buf, count);
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset) { return ::pread(fd, buf, count, offset); }

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    const Device* d = devices.at(fd);
    if (d && d->kind == Kind::MTD) return nor_program(fd, buf, count, offset);
    return ::pwrite(fd, buf, count, offset);
}

int tcgetattr(int fd, struct termios* tio) { return ::tcgetattr(fd, tio); }
int tcsetattr(int fd, int actions, const struct termios* tio) { return ::tcsetattr(fd, actions, tio); }
int tcdrain(int fd) { return ::tcdrain(fd); }
int tcflush(int fd, int queue) { return ::tcflush(fd, queue); }
int tcflow(int fd, int action) { return ::tcflow(fd, action); }

int mtd_getinfo(int fd, struct mtd_info_user* info)
{
    if (!devices.find(fd, Kind::MTD)) return -1;
    boardmodel::nor_info(*info, static_cast<uint32_t>(file_size(fd)));
    return 0;
}

int mtd_erase(int fd, uint32_t start, uint32_t length)
{
    if (!devices.find(fd, Kind::MTD)) return -1;
    return nor_erase(fd, start, length);
}

int i2c_select(int fd, int address7)
{
    return boardmodel::I2cDevices::select(devices.find(fd, Kind::I2C), address7);
}

int smbus_read_byte_data(int fd, uint8_t command)
{
    return i2c.read_register(devices.find(fd, Kind::I2C), command);
}

int smbus_write_byte_data(int fd, uint8_t command, uint8_t value)
{
    return i2c.write_register(devices.find(fd, Kind::I2C), command, value);
}

int socket(int domain, int type, int protocol)
{
    const int fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
    if (fd >= 0) devices.add(fd, {Kind::SOCKET});
    return fd;
}

int ioctl_ifreq(int fd, unsigned long request, struct ifreq* req)
{
    const Device* d = devices.at(fd);
    if (d && d->kind == Kind::SOCKET && std::strncmp(req->ifr_name, "eth0", IFNAMSIZ) == 0)
        return boardmodel::eth0_request(request, req, eth0_has_link());
    return ::ioctl(fd, request, req);
}

}  // namespace plat
