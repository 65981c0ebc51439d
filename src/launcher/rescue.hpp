// Console input and the rescue menu.
#pragma once

namespace bladeboot {

// One raw key, 0..255; 0 when the read delivered no byte.
int uartGetC();
int uartPutC(int c);
// Edits one line into buffer (size bytes with the terminating zero).
char* get_user_input(char* buffer, int size);
// True when the last console read found end of input rather than a key or
// an interrupt: a loop waiting for a key should give up.
bool console_input_ended();

int run_rescue_mode();
int run_xmodem_rescue();
int run_usb_rescue();
int run_image_display();

}  // namespace bladeboot
