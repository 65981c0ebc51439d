// The headers of the images already installed.
#pragma once

#include <cstdint>

#include "launcher/state.hpp"

namespace bladeboot {

// Reads the installed header of `type` into the caller's 16 bytes (zeros
// where nothing could be read). 0 for an unknown type or a slot file that
// does not open, else 1.
int read_flash_image_header(const Partitions& mtd, uint32_t type, uint8_t* header, int32_t slot);

// 1 when the image with this 16-byte header is already installed.
int verifyMatchingHeaders(const Partitions& mtd, const uint8_t* header, int32_t slot);

}  // namespace bladeboot
