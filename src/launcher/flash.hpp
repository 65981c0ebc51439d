// MTD partition access: device, range and api layers.
#pragma once

#include <cstdint>

namespace bladeboot {

extern int uboot_fd;
extern int uboot_env_fd;
extern int device_tree_fd;
extern int kernel_fd;
extern int rfs_fd;
extern int rescue_fd;

extern uint32_t debug_read;
extern uint32_t debug_write;
extern uint32_t debug_erase;

struct MtdInfo {
    uint32_t block_count;
    uint32_t erase_size;
    uint32_t erase_shift;
    uint32_t total_size;
};

// Device layer: 1 when the system call succeeded, else 0.
int mtd_open();
int mtd_query(int fd, MtdInfo* info);
int mtd_erase(int fd, uint32_t offset, uint32_t length);
int mtd_read(int fd, uint32_t offset, uint32_t length, uint8_t* buffer);
int mtd_write(int fd, uint32_t offset, uint32_t length, const uint8_t* buffer);

// Range layer (length before offset): 1 on success, 0 on failure.
int flash_write(const uint8_t* data, int fd, uint32_t length, uint32_t offset, uint8_t progress,
                const MtdInfo* info);
int flash_erase(int fd, uint32_t length, uint32_t offset, const MtdInfo* info);
int flash_read(uint8_t* buffer, int fd, uint32_t length, uint32_t offset);

// Api layer (offset before length): 0 on success, -1 on failure.
int api_flash_init();
int api_flash_read(uint8_t* buffer, int fd, uint32_t offset, uint32_t length);
int api_flash_write(const uint8_t* data, int fd, uint32_t offset, uint32_t length, uint8_t progress);
int api_flash_erase(int fd, uint32_t offset, uint32_t length);

}  // namespace bladeboot
