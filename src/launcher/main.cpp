#include <cstdio>

#include "launcher/boot.hpp"
#include "launcher/state.hpp"

int main(int argc, char** argv)
{
    // init starts the launcher with no arguments. Anything else is someone
    // trying it by hand: say what it is before it touches a device.
    if (argc > 1) {
        std::fprintf(stderr,
                     "usage: %s\n"
                     "the blade's boot launcher, started by init with no arguments: it mounts the user\n"
                     "partition, writes flash and the EEPROM, and reboots the machine it runs on\n",
                     argv[0]);
        return 2;
    }
    bladeboot::ignore_quit_and_stop();
    bladeboot::boot_main();
}
