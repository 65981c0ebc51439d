// The hand-over: the application tarball unpacked and the application
// started, plainly or under a debugger, a debug server or a memory checker.
#pragma once

#include <cstdint>

#include "launcher/state.hpp"

namespace bladeboot {

// The payload of the image to boot; written by whoever found the image.
constexpr char APP_TARBALL[] = "/tmp/torasimage.tar.gz";

// diags: 1 for a DIAGS image. Never returns.
[[noreturn]] void launch_image(BootState& state, uint8_t diags);

// Puts the debugger at /tmp/gdb from the other slot's GDB image; 1 when it did.
int extract_gdb(int slot);

}  // namespace bladeboot
