#include "launcher/launch.hpp"

int gdb_enable = 0;
int gdbserver_enable = 0;
int gdbport = 1234;
uint8_t shell_enable = 0;
uint8_t memchk_enable = 0;
int rescue_enable = 0;
int standalone_diags = 0;

// Placeholder until the environment parser lands.
int parse_uboot_env() { return 0; }
