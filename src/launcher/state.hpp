// What the boot sequence owns and hands down: the boot flags, the process
// flags and the open partitions and buses. Only the quit flag is global,
// because a signal handler sets it.
#pragma once

#include <csignal>
#include <cstdint>

namespace bladeboot {

// Set by the SIGINT handler; the prompts look at it after each read.
extern volatile sig_atomic_t sig_quit_raised;

void sig_handler(int signum);
// SIGINT without SA_RESTART, so that Ctrl-C cuts a blocked console read
// short and the prompt loops see the flag at once.
int sig_init();
// Ctrl-\ and Ctrl-Z at the console must not stop a flash write half way.
void ignore_quit_and_stop();

// MTD partition descriptors; -1 until opened, or when the open failed.
struct Partitions {
    int uboot_fd = -1;
    int uboot_env_fd = -1;
    int device_tree_fd = -1;
    int kernel_fd = -1;
    int rfs_fd = -1;
    int rescue_fd = -1;
};

// I2C bus descriptors by bus number; 0 while closed.
struct I2cBuses {
    int i2c_file[2] = {0, 0};
};

struct BootState {
    // From the boot loader environment.
    int gdb_enable = 0;
    int gdbserver_enable = 0;
    int gdbport = 1234;
    uint8_t shell_enable = 0;
    uint8_t memchk_enable = 0;
    int rescue_enable = 0;
    int standalone_diags = 0;

    // Decided on the way: the stick is to be used; the second slot is being tried.
    uint8_t usb_boot_enabled = 0;
    uint8_t tried_alt_image = 0;

    Partitions mtd;
    I2cBuses i2c;

    // The rescue menu, for the one road below it that offers it: the
    // launch's question about an incompatible image. The boot sequence sets
    // it; with none set the question is still asked and the launch goes on.
    int (*rescue_menu)(BootState&) = nullptr;
};

}  // namespace bladeboot
