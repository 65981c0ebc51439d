// The headers of the images already installed.
#pragma once

#include <cstdint>

#include "launcher/state.hpp"

namespace bladeboot {

// The boot loader partition holds the payload alone; the boot loader
// carries a copy of its own header at this byte of it.
constexpr uint32_t UBOOT_HEADER_OFFSET = 240;

// Reads the installed header of `type` into the caller's 16 bytes (zeros
// where nothing could be read). 0 for an unknown type or a slot file that
// does not open, else 1.
int read_flash_image_header(const Partitions& mtd, uint32_t type, uint8_t* header, int32_t slot);

// 1 when the image with this 16-byte header is already installed.
int verifyMatchingHeaders(const Partitions& mtd, const uint8_t* header, int32_t slot);

}  // namespace bladeboot
