// The launcher's only way to devices, time and processes.
//
// Three implementations are chosen at link time: linux.cpp (the board),
// sim.cpp (bladesim's file-backed board) and tests/fakes (in-memory, with
// fault injection). Regular files under /tmp, /user and /mnt/usb are used
// directly with stdio; tests reach those paths only inside a sandbox.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>

struct mtd_info_user;
struct ifreq;

namespace plat {

// Processes and time.
int system(const char* command);
void sleep(unsigned seconds);
void usleep(unsigned long microseconds);
// Replaces the process: execlp(file, arg0, nullptr). Returns only on failure.
int exec(const char* file, const char* arg0);
[[noreturn]] void exit(int status);
// poll() for POLLIN on one descriptor: >0 readable, 0 time-out, <0 error or
// interrupted.
int poll_in(int fd, int timeout_ms);

// Descriptors: devices (MTD, I2C, serial, network) and the console (0, 1).
int open(const char* path, int flags);
int close(int fd);
ssize_t read(int fd, void* buf, size_t count);
ssize_t write(int fd, const void* buf, size_t count);
ssize_t pread(int fd, void* buf, size_t count, off_t offset);
ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset);

// Terminals.
int tcgetattr(int fd, struct termios* tio);
int tcsetattr(int fd, int actions, const struct termios* tio);
int tcdrain(int fd);
int tcflush(int fd, int queue);
int tcflow(int fd, int action);

// MTD character devices: MEMGETINFO and MEMERASE.
int mtd_getinfo(int fd, struct mtd_info_user* info);
int mtd_erase(int fd, uint32_t start, uint32_t length);

// I2C (i2c-dev): I2C_SLAVE and the SMBus byte-data transfers.
int i2c_select(int fd, int address7);
int smbus_read_byte_data(int fd, uint8_t command);
int smbus_write_byte_data(int fd, uint8_t command, uint8_t value);

// Network: a datagram socket and the interface ioctls SIOCGIFINDEX,
// SIOCGIFFLAGS and SIOCETHTOOL.
int socket(int domain, int type, int protocol);
int ioctl_ifreq(int fd, unsigned long request, struct ifreq* req);

}  // namespace plat
