// The boot loader environment: the switches read once at start-up.
#pragma once

#include "launcher/state.hpp"

namespace bladeboot {

// Fills the boot flags of `state` from the environment partition
// (state.mtd.uboot_env_fd); an unreadable partition leaves the defaults.
int parse_uboot_env(BootState& state);

}  // namespace bladeboot
