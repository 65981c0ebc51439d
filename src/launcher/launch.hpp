// Boot control: start-up sequence, environment, extraction, launch and the
// diagnostics partition boot.
#pragma once

#include <cstdint>
#include <cstdio>

namespace bladeboot {

// Process flags.
extern volatile uint8_t sig_quit_raised;
extern uint8_t usb_boot_enabled;
extern uint8_t tried_alt_image;

// Boot flags from the boot loader environment.
extern int gdb_enable;
extern int gdbserver_enable;
extern int gdbport;
extern uint8_t shell_enable;
extern uint8_t memchk_enable;
extern int rescue_enable;
extern int standalone_diags;

// Where command lines and program names are built.
constexpr int STRINGBUFF_SIZE = 256;
extern char stringbuff[STRINGBUFF_SIZE];

constexpr const char* SLOT1_PATH = "/user/images/image1";
constexpr const char* SLOT2_PATH = "/user/images/image2";
constexpr const char* USB_IMAGE_PATH = "/mnt/usb/KVL7730_OS.img";
constexpr const char* APP_TARBALL = "/tmp/torasimage.tar.gz";

// Start-up sequence.
int sig_init();
void sig_handler(int signum);
int which_image();
[[noreturn]] void board_reset();
[[noreturn]] void boot_main();

// Boot loader environment.
int parse_uboot_env();

// Slot extraction.
int extract_image(int slot);
// `type` is also set when nothing bootable is found: the type of the last
// header read, 0 when none could be read.
int parse_image(FILE* file, uint32_t* type, uint8_t* kind, uint32_t* header_length, uint32_t* payload_length,
                uint8_t* header_copy);

// Launch.
[[noreturn]] void launch_image(uint8_t diags);
int extract_gdb(int slot);

// Diagnostics partition boot.
int run_standalone_diags();
int extract_image_from_flash();

}  // namespace bladeboot
