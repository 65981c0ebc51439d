// The board: every operation is the plain system call.
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/platform.hpp"
#include "platform/smbus.hpp"

namespace plat {

int system(const char* command) { return std::system(command); }
void sleep(unsigned seconds) { ::sleep(seconds); }
void usleep(unsigned long microseconds) { ::usleep(static_cast<useconds_t>(microseconds)); }
int exec(const char* file, const char* arg0) { return ::execlp(file, arg0, static_cast<char*>(nullptr)); }
void exit(int status) { std::exit(status); }

int poll_in(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms);
}

int open(const char* path, int flags) { return ::open(path, flags); }
int close(int fd) { return ::close(fd); }
ssize_t read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }
ssize_t write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
ssize_t pread(int fd, void* buf, size_t count, off_t offset) { return ::pread(fd, buf, count, offset); }
ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) { return ::pwrite(fd, buf, count, offset); }

int tcgetattr(int fd, struct termios* tio) { return ::tcgetattr(fd, tio); }
int tcsetattr(int fd, int actions, const struct termios* tio) { return ::tcsetattr(fd, actions, tio); }
int tcdrain(int fd) { return ::tcdrain(fd); }
int tcflush(int fd, int queue) { return ::tcflush(fd, queue); }
int tcflow(int fd, int action) { return ::tcflow(fd, action); }

int mtd_getinfo(int fd, struct mtd_info_user* info) { return ::ioctl(fd, MEMGETINFO, info); }

int mtd_erase(int fd, uint32_t start, uint32_t length)
{
    erase_info_user erase{start, length};
    return ::ioctl(fd, MEMERASE, &erase);
}

int i2c_select(int fd, int address7) { return ::ioctl(fd, I2C_SLAVE, address7); }
int smbus_read_byte_data(int fd, uint8_t command) { return i2c_smbus_read_byte_data(fd, command); }
int smbus_write_byte_data(int fd, uint8_t command, uint8_t value)
{
    return i2c_smbus_write_byte_data(fd, command, value);
}

int socket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }
int ioctl_ifreq(int fd, unsigned long request, struct ifreq* req) { return ::ioctl(fd, request, req); }

}  // namespace plat
