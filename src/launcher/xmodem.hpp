// The XMODEM-1K receiver (CRC-16).
#pragma once

#include <cstddef>
#include <cstdint>

namespace bladeboot {

extern const uint16_t crctab[256];

// Takes the serial port over, receives path, hands the port back. The data
// bytes written; 0 when cancelled; -1 when the port or the file cannot be opened.
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
