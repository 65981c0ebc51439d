// XMODEM-1K receiver (CRC-16), over the serial port or any descriptor pair.
#include "launcher/xmodem.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "launcher/serial.hpp"
#include "platform/platform.hpp"

namespace bladeboot {

// Entry i is the CRC of the single byte i.
const uint16_t crctab[256] = {
    0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50a5, 0x60c6, 0x70e7,
    0x8108, 0x9129, 0xa14a, 0xb16b, 0xc18c, 0xd1ad, 0xe1ce, 0xf1ef,
    0x1231, 0x0210, 0x3273, 0x2252, 0x52b5, 0x4294, 0x72f7, 0x62d6,
    0x9339, 0x8318, 0xb37b, 0xa35a, 0xd3bd, 0xc39c, 0xf3ff, 0xe3de,
    0x2462, 0x3443, 0x0420, 0x1401, 0x64e6, 0x74c7, 0x44a4, 0x5485,
    0xa56a, 0xb54b, 0x8528, 0x9509, 0xe5ee, 0xf5cf, 0xc5ac, 0xd58d,
    0x3653, 0x2672, 0x1611, 0x0630, 0x76d7, 0x66f6, 0x5695, 0x46b4,
    0xb75b, 0xa77a, 0x9719, 0x8738, 0xf7df, 0xe7fe, 0xd79d, 0xc7bc,
    0x48c4, 0x58e5, 0x6886, 0x78a7, 0x0840, 0x1861, 0x2802, 0x3823,
    0xc9cc, 0xd9ed, 0xe98e, 0xf9af, 0x8948, 0x9969, 0xa90a, 0xb92b,
    0x5af5, 0x4ad4, 0x7ab7, 0x6a96, 0x1a71, 0x0a50, 0x3a33, 0x2a12,
    0xdbfd, 0xcbdc, 0xfbbf, 0xeb9e, 0x9b79, 0x8b58, 0xbb3b, 0xab1a,
    0x6ca6, 0x7c87, 0x4ce4, 0x5cc5, 0x2c22, 0x3c03, 0x0c60, 0x1c41,
    0xedae, 0xfd8f, 0xcdec, 0xddcd, 0xad2a, 0xbd0b, 0x8d68, 0x9d49,
    0x7e97, 0x6eb6, 0x5ed5, 0x4ef4, 0x3e13, 0x2e32, 0x1e51, 0x0e70,
    0xff9f, 0xefbe, 0xdfdd, 0xcffc, 0xbf1b, 0xaf3a, 0x9f59, 0x8f78,
    0x9188, 0x81a9, 0xb1ca, 0xa1eb, 0xd10c, 0xc12d, 0xf14e, 0xe16f,
    0x1080, 0x00a1, 0x30c2, 0x20e3, 0x5004, 0x4025, 0x7046, 0x6067,
    0x83b9, 0x9398, 0xa3fb, 0xb3da, 0xc33d, 0xd31c, 0xe37f, 0xf35e,
    0x02b1, 0x1290, 0x22f3, 0x32d2, 0x4235, 0x5214, 0x6277, 0x7256,
    0xb5ea, 0xa5cb, 0x95a8, 0x8589, 0xf56e, 0xe54f, 0xd52c, 0xc50d,
    0x34e2, 0x24c3, 0x14a0, 0x0481, 0x7466, 0x6447, 0x5424, 0x4405,
    0xa7db, 0xb7fa, 0x8799, 0x97b8, 0xe75f, 0xf77e, 0xc71d, 0xd73c,
    0x26d3, 0x36f2, 0x0691, 0x16b0, 0x6657, 0x7676, 0x4615, 0x5634,
    0xd94c, 0xc96d, 0xf90e, 0xe92f, 0x99c8, 0x89e9, 0xb98a, 0xa9ab,
    0x5844, 0x4865, 0x7806, 0x6827, 0x18c0, 0x08e1, 0x3882, 0x28a3,
    0xcb7d, 0xdb5c, 0xeb3f, 0xfb1e, 0x8bf9, 0x9bd8, 0xabbb, 0xbb9a,
    0x4a75, 0x5a54, 0x6a37, 0x7a16, 0x0af1, 0x1ad0, 0x2ab3, 0x3a92,
    0xfd2e, 0xed0f, 0xdd6c, 0xcd4d, 0xbdaa, 0xad8b, 0x9de8, 0x8dc9,
    0x7c26, 0x6c07, 0x5c64, 0x4c45, 0x3ca2, 0x2c83, 0x1ce0, 0x0cc1,
    0xef1f, 0xff3e, 0xcf5d, 0xdf7c, 0xaf9b, 0xbfba, 0x8fd9, 0x9ff8,
    0x6e17, 0x7e36, 0x4e55, 0x5e74, 0x2e93, 0x3eb2, 0x0ed1, 0x1ef0,
};

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t CRC_INVITE = 'C';

constexpr int BAD_AFTER_EOT = 0x001;
constexpr int NO_HEADER = 0x002;
constexpr int SINGLE_CAN = 0x004;
constexpr int BAD_CRC = 0x008;
constexpr int NO_DATA = 0x010;
constexpr int BLOCK_ZERO_FIRST = 0x020;
constexpr int OUT_OF_SEQUENCE = 0x040;
constexpr int BAD_BLOCK_PAIR = 0x080;
constexpr int EARLY_ACK = 0x100;

constexpr unsigned MAX_RETRIES = 3;

void putByte(uint8_t byte, int fd) { plat::write(fd, &byte, 1); }

// Set when the line said ready and gave nothing: its other end is gone (end
// of a pipe or file, a hung-up terminal), and no sender will ever come.
bool line_ended = false;

int getByte(unsigned timeout_s, uint8_t* byte, int fd)
{
    for (unsigned long polls = timeout_s * 1000ul; polls > 0; --polls) {
        uint8_t got = 0;
        if (plat::read(fd, &got, 1) == 1) {
            *byte = got;
            return 1;
        }
        // Waiting on the line instead of sleeping a fixed 1 ms lets the
        // next packet's first byte in at once, which is most of a fast
        // line's time. A line that says ready and then gives nothing (hung
        // up) still costs the full 1 ms, so every time-out stays as long.
        const int ready = plat::poll_in(fd, 1);
        if (ready > 0 && plat::read(fd, &got, 1) == 1) {
            *byte = got;
            return 1;
        }
        if (ready > 0) line_ended = true;
        if (ready != 0) plat::usleep(1000);
    }
    return -1;
}

void flushRX(int fd)
{
    uint8_t junk = 0;
    while (plat::read(fd, &junk, 1) == 1) {
    }
}

// Waits for the line to fall silent, so that an answer is not taken for
// part of what the sender was still pushing out.
void drain(int fd, unsigned seconds)
{
    flushRX(fd);
    uint8_t junk = 0;
    while (getByte(seconds, &junk, fd) == 1) {
    }
}

// A short pause in the data is bridged; two silent seconds end the read.
int readData(uint8_t* data, int length, uint16_t* crc, int fd)
{
    uint16_t sum = 0;
    int count = 0;
    int remaining = length;
    while (remaining > 0) {
        int pass = 0;
        while (pass < remaining && getByte(1, &data[count + pass], fd) == 1) ++pass;
        if (pass == 0) break;
        sum = xmodem_crc16(sum, data + count, static_cast<size_t>(pass));
        count += pass;
        remaining -= pass;
    }
    *crc = sum;
    return count;
}

void say(const char* text, size_t length) { std::fwrite(text, 1, length, stderr); }

template <size_t N>
void say(const char (&text)[N])
{
    say(text, N - 1);
}

int receive(int in, int out, FILE* file, bool* completed)
{
    uint8_t buffer[1024];
    int errorflag = 0;
    uint8_t current = 0;
    uint8_t last_block = 0;
    unsigned retry = 0;
    int total = 0;
    unsigned header_timeout = 1;
    bool accepted = false;
    bool abort = false;

    line_ended = false;
    flushRX(in);
    putByte(CRC_INVITE, out);

    while (current != EOT && !abort) {
        errorflag = 0;

        bool timed_out = true;
        uint8_t byte = 0;
        while (getByte(header_timeout, &byte, in) == 1) {
            if (byte == SOH || byte == STX || byte == EOT || (!accepted && (byte == ACK || byte == CAN))) {
                current = byte;
                timed_out = false;
                break;
            }
        }

        if (timed_out) {
            errorflag |= NO_HEADER;
            abort = line_ended;
        } else if (current == EOT) {
            say("EOT\n");
            flushRX(in);
            putByte(NAK, out);
            // A second EOT, or silence, confirms the end; a packet means the
            // first EOT was noise and the transfer goes on.
            if (getByte(5, &byte, in) == 1 && byte != EOT) {
                if (byte == SOH || byte == STX || (!accepted && (byte == ACK || byte == CAN))) {
                    current = byte;
                } else {
                    current = 0;
                    errorflag |= BAD_AFTER_EOT;
                }
            }
        } else if (current == CAN) {
            say("CAN\n");
            // A sender that gives up before its first packet says so twice;
            // waiting on would hold the board in the download for good.
            if (getByte(3, &byte, in) != 1 || (byte & 0x7F) != CAN)
                errorflag |= SINGLE_CAN;
            else
                abort = true;
        } else if (current == ACK) {
            errorflag |= EARLY_ACK;
        } else {
            const int size = current == SOH ? 128 : 1024;
            if (!accepted) {
                retry = 0;
                header_timeout = 5;
            }
            uint8_t block = 0;
            uint8_t complement = 0;
            const bool numbered = getByte(3, &block, in) == 1 && getByte(3, &complement, in) == 1;
            if (!numbered || block + complement != 255) {
                errorflag |= BAD_BLOCK_PAIR;
            } else if (block == static_cast<uint8_t>(last_block + 1)) {
                uint16_t crc = 0;
                const int count = readData(buffer, size, &crc, in);
                uint8_t high = 0;
                uint8_t low = 0;
                if (count == 0) {
                    errorflag |= NO_DATA;
                } else if (getByte(3, &high, in) == 1 && getByte(3, &low, in) == 1 && (high << 8 | low) == crc) {
                    if (std::fwrite(buffer, 1, static_cast<size_t>(count), file) != static_cast<size_t>(count)) {
                        abort = true;  // what cannot be stored must not be acknowledged
                    } else {
                        retry = 0;
                        total += count;
                        accepted = true;
                        last_block = block;
                        flushRX(in);
                        putByte(ACK, out);
                    }
                } else {
                    errorflag |= BAD_CRC;
                }
            } else if (block == 0 && !accepted) {
                errorflag |= BLOCK_ZERO_FIRST;
            } else if (block != last_block) {
                errorflag |= OUT_OF_SEQUENCE;
                abort = true;
            } else {
                // Our ACK was lost: the sender repeats what we already have.
                drain(in, 1);
                putByte(ACK, out);
            }
        }

        if (errorflag != 0 && !abort) {
            if (!accepted) {
                putByte(CRC_INVITE, out);
            } else if (++retry < MAX_RETRIES) {
                drain(in, 2);
                putByte(NAK, out);
            } else {
                abort = true;
            }
        }
    }

    // What stdio still holds must be on file before the sender hears it went well.
    if (!abort && std::fflush(file) != 0) abort = true;
    if (completed) *completed = !abort;
    if (abort) {
        for (int i = 0; i < 5; ++i) putByte(CAN, out);
        drain(in, 2);
        return 0;
    }
    putByte(ACK, out);
    say("All done\n");
    return total;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace

uint16_t xmodem_crc16(uint16_t crc, const uint8_t* data, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ crctab[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

int xmodem_receive(int in_fd, int out_fd, const char* path, bool* completed)
{
    if (completed) *completed = false;
    File file(std::fopen(path, "wbe"));
    if (!file) {
        std::perror("Can't open file!");
        return -1;
    }
    return receive(in_fd, out_fd, file.get(), completed);
}

int Xmodem1K(const char* path) { return Xmodem1K(path, nullptr); }

int Xmodem1K(const char* path, bool* completed)
{
    if (completed) *completed = false;
    // Without the port there is no line to invite a sender on.
    const int fd = init_serial();
    if (fd < 0) return -1;
    File file(std::fopen(path, "wbe"));
    int result = -1;
    if (!file) {
        std::perror("Can't open file!");
    } else {
        result = receive(fd, fd, file.get(), completed);
    }
    reset_serial(fd);
    plat::close(fd);
    return result;
}

int xmodem_receive_stdio(const char* path, bool* completed)
{
    // A description of our own, so that O_NONBLOCK does not leak into the
    // terminal the calling program goes on reading after we exit.
    const int in = ::open("/proc/self/fd/0", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        std::perror("Can't reopen standard input");
        if (completed) *completed = false;
        return -1;
    }
    const int result = xmodem_receive(in, STDOUT_FILENO, path, completed);
    ::close(in);
    return result;
}

}  // namespace bladeboot
