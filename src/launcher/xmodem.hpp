// Serial port handover and the XMODEM-1K receiver.
#pragma once

#include <termios.h>

#include <cstdint>

extern struct termios oldtty;
extern const uint16_t crctab[256];

int init_serial();
void reset_serial(int fd);
int Xmodem1K(const char* path);
