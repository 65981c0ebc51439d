// CRC-32 of the image header and the byte swap of its fields.
#pragma once

#include <cstdint>

namespace bladeboot {

// Reflected CRC-32 (polynomial 0xEDB88320) from `start`, without the final
// inversion: with start 0xFFFFFFFF it is the complement of zlib's crc32.
uint32_t gen_crc(const uint8_t* buffer, uint32_t count, uint32_t start);

// 0 when gen_crc(buffer, count, 0xFFFFFFFF) equals `expected`, else 1.
int CheckCrc(const uint8_t* buffer, uint32_t count, uint32_t expected);

uint32_t swapw(uint32_t value);

}  // namespace bladeboot
