// Serial port handover: the console line switched to raw 8N1 at 115200 bps
// for a download and back afterwards, each switch confirmed by the operator.
#include <fcntl.h>
#include <termios.h>

#include <cstdint>
#include <cstdio>

#include "launcher/serial.hpp"
#include "platform/platform.hpp"

namespace bladeboot {

struct termios oldtty;

namespace {

constexpr int REMINDER_POLLS = 10;

// The operator's terminal changes speed on its own side, so only the key
// arriving intact at the new speed shows the switch is done. No time limit:
// nothing else can end the dialogue.
void wait_for_key(int fd, uint8_t key, const char* reminder)
{
    int counter = 0;
    for (;;) {
        uint8_t byte = 0;
        if (plat::read(fd, &byte, 1) == 1 && byte == key) return;
        plat::sleep(1);
        if (counter == REMINDER_POLLS) {
            counter = 0;
            std::puts(reminder);
            std::fflush(stdout);
        } else {
            ++counter;
        }
    }
}

}  // namespace

int init_serial()
{
    const int fd = plat::open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror("Can't open serial port!");
        return -1;
    }
    std::puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    std::puts("       before initiating the download.");
    std::fflush(stdout);

    plat::tcdrain(fd);
    plat::tcflush(fd, TCIOFLUSH);
    plat::tcgetattr(fd, &oldtty);
    struct termios tty = oldtty;
    cfsetispeed(&tty, B115200);
    cfsetospeed(&tty, B115200);
    // Raw 8N1 for binary packets; carrier and hardware flow control are the
    // line's own business and stay as they were.
    tty.c_iflag = IGNBRK;
    tty.c_oflag = 0;
    tty.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    tty.c_cflag |= CS8;
    tty.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
    plat::tcsetattr(fd, TCSADRAIN, &tty);
    plat::tcflow(fd, TCOON);

    wait_for_key(fd, 13, "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r");
    return fd;
}

void reset_serial(int fd)
{
    std::puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    std::fflush(stdout);
    plat::tcdrain(fd);
    plat::tcflush(fd, TCIOFLUSH);
    plat::tcsetattr(fd, TCSADRAIN, &oldtty);
    plat::tcflow(fd, TCOON);
    wait_for_key(fd, 10, "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
}

}  // namespace bladeboot
