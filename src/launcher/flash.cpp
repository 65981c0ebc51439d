#include "launcher/flash.hpp"

int uboot_fd = -1;
int uboot_env_fd = -1;
int device_tree_fd = -1;
int kernel_fd = -1;
int rfs_fd = -1;
int rescue_fd = -1;

uint32_t debug_read = 0;
uint32_t debug_write = 0;
uint32_t debug_erase = 0;

// Placeholders until the MTD layers land.
int mtd_open() { return rescue_fd; }
int mtd_query(int, MtdInfo*) { return 0; }
int mtd_erase(int, uint32_t, uint32_t) { return 0; }
int mtd_read(int, uint32_t, uint32_t, uint8_t*) { return 0; }
int mtd_write(int, uint32_t, uint32_t, const uint8_t*) { return 0; }
int flash_write(const uint8_t*, int, uint32_t, uint32_t, uint8_t, const MtdInfo*) { return 0; }
int flash_erase(int, uint32_t, uint32_t, const MtdInfo*) { return 0; }
int flash_read(uint8_t*, int, uint32_t, uint32_t) { return 0; }
int api_flash_init() { return 1; }
int api_flash_read(uint8_t*, int, uint32_t, uint32_t) { return -1; }
int api_flash_write(const uint8_t*, int, uint32_t, uint32_t, uint8_t) { return -1; }
int api_flash_erase(int, uint32_t, uint32_t) { return -1; }
