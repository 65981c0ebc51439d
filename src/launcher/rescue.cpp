#include "launcher/rescue.hpp"

// Placeholders until the rescue menu lands: the menu exits at once.
int run_rescue_mode() { return 1; }
int run_xmodem_rescue() { return 0; }
int run_usb_rescue() { return 0; }
int run_image_display() { return 0; }
