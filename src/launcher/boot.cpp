#include <csignal>
#include <cstdio>

#include "launcher/launch.hpp"
#include "platform/platform.hpp"

volatile uint8_t sig_quit_raised = 0;
uint8_t usb_boot_enabled = 0;
uint8_t tried_alt_image = 0;

// Placeholders until the start-up sequence lands.
void sig_handler(int) { sig_quit_raised = 1; }
int sig_init() { return 0; }
int which_image() { return 1; }

void board_reset()
{
    plat::sleep(1);
    plat::system("reboot");
    plat::exit(0);
}

void boot_main() { board_reset(); }
