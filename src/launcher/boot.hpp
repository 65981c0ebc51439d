// The start-up sequence: from the signal handler to the booted slot.
#pragma once

#include "launcher/state.hpp"

namespace bladeboot {

// The preferred slot: EEPROM byte 256 when it is 1 or 2, else 1.
int which_image(const BootState& state);

// Runs the boot from top to bottom; every road ends in the application or a reboot.
[[noreturn]] void boot_main();

}  // namespace bladeboot
