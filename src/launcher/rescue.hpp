// The rescue menu: serial download, USB install, version display,
// diagnostics, reboot, exit.
#pragma once

#include "launcher/state.hpp"

namespace bladeboot {

// 1 when the operator chose Exit; Reboot and a booted image do not return.
int run_rescue_mode(BootState& state);
int run_xmodem_rescue(BootState& state);
int run_usb_rescue(BootState& state);
int run_image_display(const BootState& state);

}  // namespace bladeboot
