// Booting the rescue partition's image: diagnostics, or a recovery image
// that can first be installed into a slot.
#pragma once

#include "launcher/state.hpp"

namespace bladeboot {

// Offers to recreate /user, then boots the rescue image; 1 when that boot failed.
int run_standalone_diags(BootState& state);
// 0 when the rescue partition holds no bootable image or its CRC fails;
// otherwise it does not return.
int extract_image_from_flash(BootState& state);

}  // namespace bladeboot
