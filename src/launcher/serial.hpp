// Serial port handover: the console line switched to raw 8N1 at 115200 bps
// for a download and back, each switch confirmed by the operator's Enter.
#pragma once

#include <termios.h>

namespace bladeboot {

// The port's settings as init_serial found them, for reset_serial.
extern struct termios oldtty;

// The open port in download settings, or -1 when it cannot be opened.
int init_serial();
// Puts the saved settings back and waits for Enter; leaves fd open.
void reset_serial(int fd);

}  // namespace bladeboot
