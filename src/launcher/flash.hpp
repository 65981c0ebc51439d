// MTD partition access: what the other modules call. Writes go by erase
// block (read, erase, write back), so the bytes around a range keep their
// values.
#pragma once

#include <cstdint>

#include "launcher/state.hpp"

namespace bladeboot {

// Opens the six partitions (a failed open leaves -1). Always 1.
int api_flash_init(Partitions& mtd);

// 0 on success, -1 on failure (the reason printed). Offset before length.
int api_flash_read(uint8_t* buffer, int fd, uint32_t offset, uint32_t length);
int api_flash_write(const uint8_t* data, int fd, uint32_t offset, uint32_t length, uint8_t progress);
int api_flash_erase(int fd, uint32_t offset, uint32_t length);

// The partition's size in bytes, as the device reports it.
bool flash_partition_size(int fd, uint32_t* size);

}  // namespace bladeboot
