#include "bladeflash/line.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bladeflash {

FdLine::FdLine(int in, int out, bool own, std::optional<termios> saved)
    : in_(in), out_(out), own_(own), saved_(saved)
{
}

FdLine::~FdLine()
{
    if (saved_) ::tcsetattr(out_, TCSADRAIN, &*saved_);
    if (own_) ::close(in_);
}

int FdLine::get(int timeout_ms)
{
    if (head_ < buf_.size()) return buf_[head_++];
    for (;;) {
        pollfd p{in_, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return TIMEOUT;
        buf_.resize(4096);
        const ssize_t n = ::read(in_, buf_.data(), buf_.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            buf_.clear();
            return CLOSED;
        }
        buf_.resize(static_cast<size_t>(n));
        head_ = 1;
        return buf_[0];
    }
}

bool FdLine::put(std::span<const uint8_t> bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(out_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{out_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

namespace {

std::unique_ptr<FdLine> open_socket(const std::string& path, std::string* error)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = path + ": socket path too long";
        return nullptr;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        *error = path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    return std::make_unique<FdLine>(fd, fd, true);
}

}  // namespace

std::unique_ptr<FdLine> open_port(const std::string& port, std::string* error)
{
    // Standard input and output are the caller's: a pty master, a pipe
    // pair; their settings are not ours to change.
    if (port == "-") return std::make_unique<FdLine>(0, 1, false);
    struct stat st {};
    if (::stat(port.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return open_socket(port, error);
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = port + ": " + std::strerror(errno);
        return nullptr;
    }
    std::optional<termios> saved;
    termios tty{};
    if (::tcgetattr(fd, &tty) == 0) {
        saved = tty;
        // What the board's download settings are: binary bytes, no flow control.
        ::cfmakeraw(&tty);
        ::cfsetispeed(&tty, B115200);
        ::cfsetospeed(&tty, B115200);
        tty.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
        tty.c_cflag |= CS8 | CLOCAL | CREAD;
        tty.c_cc[VMIN] = 1;
        tty.c_cc[VTIME] = 0;
        if (::tcsetattr(fd, TCSANOW, &tty) != 0) {
            *error = port + ": " + std::strerror(errno);
            ::close(fd);
            return nullptr;
        }
        ::tcflush(fd, TCIOFLUSH);
    }
    return std::make_unique<FdLine>(fd, fd, true, saved);
}

}  // namespace bladeflash
