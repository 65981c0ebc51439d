// The package installer: images back to back, each checked and written to
// its flash partition or an application slot.
#pragma once

#include <cstdint>

#include "launcher/state.hpp"

namespace bladeboot {

// Returns 1 when the whole package was walked and something was installed,
// else 0. With version_check an image already installed is skipped; slot 0
// asks the operator for an application image's slot, whose answer may be to
// boot it at once: then the call does not return.
int processBladeImage(BootState& state, const char* path, uint8_t version_check, int32_t slot);

}  // namespace bladeboot
