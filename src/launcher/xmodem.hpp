// Serial port handover and the XMODEM-1K receiver.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>

namespace bladeboot {

extern struct termios oldtty;
extern const uint16_t crctab[256];

int init_serial();
void reset_serial(int fd);
int Xmodem1K(const char* path);

// As Xmodem1K; *completed tells a normal end (EOT acknowledged) from a
// cancel, which the byte count alone cannot for an empty transfer.
int Xmodem1K(const char* path, bool* completed);

// The receiver without the port handover: packets are read from in_fd (which
// must be non-blocking) and answered on out_fd. Same results as Xmodem1K.
int xmodem_receive(int in_fd, int out_fd, const char* path, bool* completed = nullptr);

// The receiver on standard input and output, for a program started in place
// of an outside receiver on a line already in download settings.
int xmodem_receive_stdio(const char* path, bool* completed = nullptr);

// CRC-16/XMODEM, continuing from crc.
uint16_t xmodem_crc16(uint16_t crc, const uint8_t* data, size_t count);

}  // namespace bladeboot
