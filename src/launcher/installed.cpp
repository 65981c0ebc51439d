#include "launcher/installed.hpp"

#include <cstdio>
#include <cstring>
#include <memory>

#include "launcher/flash.hpp"
#include "launcher/image.hpp"
#include "launcher/stdio_file.hpp"

namespace bladeboot {

namespace {

int read_slot_header(uint8_t* header, int32_t slot)
{
    char path[32];
    std::snprintf(path, sizeof path, "/user/images/image%d", slot);
    StdioFile file(std::fopen(path, "rbe"));
    if (!file) return 0;
    // A file shorter than a header leaves the rest zeroed.
    [[maybe_unused]] const size_t items = std::fread(header, HEADER_COPY_SIZE, 1, file.get());
    return 1;
}

// A failed read leaves the zeros: the image then counts as not installed.
void read_partition_header(uint8_t* header, int fd, uint32_t offset)
{
    api_flash_read(header, fd, offset, HEADER_COPY_SIZE);
}

}  // namespace

int read_flash_image_header(const Partitions& mtd, uint32_t type, uint8_t* header, int32_t slot)
{
    if (!header) return 0;
    std::memset(header, 0, HEADER_COPY_SIZE);
    switch (type) {
    case IMAGE_APPLICATION: return read_slot_header(header, slot);
    case IMAGE_UBOOT: read_partition_header(header, mtd.uboot_fd, UBOOT_HEADER_OFFSET); return 1;
    case IMAGE_KERNEL: read_partition_header(header, mtd.kernel_fd, 0); return 1;
    case IMAGE_RFS: read_partition_header(header, mtd.rfs_fd, 0); return 1;
    case IMAGE_DFT: read_partition_header(header, mtd.device_tree_fd, 0); return 1;
    case IMAGE_DIAGS: read_partition_header(header, mtd.rescue_fd, 0); return 1;
    default: std::printf("Unknown image type 0x%x \n", type); return 0;
    }
}

int verifyMatchingHeaders(const Partitions& mtd, const uint8_t* header, int32_t slot)
{
    if (!header) return 0;
    const uint32_t type = get_be32(header + 8) & ~MAGIC_EXTENDED_BIT;
    uint8_t installed[HEADER_COPY_SIZE];
    if (!read_flash_image_header(mtd, type, installed, slot)) return 0;
    // The header copy inside the boot loader cannot hold the crc of the image
    // that contains it, so only len, magic and id tell boot loaders apart.
    const size_t from = type == IMAGE_UBOOT ? 4 : 0;
    return std::memcmp(header + from, installed + from, HEADER_COPY_SIZE - from) == 0 ? 1 : 0;
}

}  // namespace bladeboot
