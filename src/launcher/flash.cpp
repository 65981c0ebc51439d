#include "launcher/flash.hpp"

#include <fcntl.h>
#include <mtd/mtd-user.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.hpp"

namespace bladeboot {

namespace {

// Trace switches: nothing turns them on; flip one here to trace a device.
constexpr bool debug_read = false;
constexpr bool debug_write = false;
constexpr bool debug_erase = false;

// The smallest erase block the block arithmetic is meant for.
constexpr uint32_t MIN_ERASE_SIZE = 1024;

struct MtdInfo {
    uint32_t block_count;
    uint32_t erase_size;
    uint32_t erase_shift;
    uint32_t total_size;
};

unsigned long ul(uint32_t v) { return v; }
unsigned long address(const void* p) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)); }

// --- device layer: one system call each ------------------------------------

bool mtd_query(int fd, MtdInfo* info)
{
    mtd_info_user raw{};
    if (plat::mtd_getinfo(fd, &raw) != 0) {
        std::puts("Could not get MTD device info ");
        return false;
    }
    info->block_count = raw.erasesize != 0 ? raw.size / raw.erasesize : 0;
    info->erase_size = raw.erasesize;
    info->total_size = raw.size;
    for (uint32_t bit = 0; bit < 32; ++bit) {
        if (raw.erasesize & (uint32_t{1} << bit)) {
            info->erase_shift = bit;
            break;
        }
    }
    return true;
}

bool mtd_erase(int fd, uint32_t offset, uint32_t length)
{
    if (debug_erase) std::printf("mtd erase 0x%08lx to 0x%08lx\n", ul(offset), ul(offset + length - 1));
    return plat::mtd_erase(fd, offset, length) >= 0;
}

bool mtd_read(int fd, uint32_t offset, uint32_t length, uint8_t* buffer)
{
    if (debug_read)
        std::printf("mtd read  0x%08lx to 0x%08lx 0x%08lx\n", ul(offset), ul(offset + length - 1), address(buffer));
    return plat::pread(fd, buffer, length, static_cast<off_t>(offset)) >= 0;
}

// True only when all `length` bytes came.
bool mtd_read_whole(int fd, uint32_t offset, uint32_t length, uint8_t* buffer)
{
    return plat::pread(fd, buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

// NOR programs bits from 1 to 0 only: a block takes new bytes without an
// erase when none of them asks a 0 to become 1.
bool needs_erase(const uint8_t* wanted, const uint8_t* held, uint32_t count)
{
    uint8_t raised = 0;
    for (uint32_t k = 0; k < count; ++k) raised |= wanted[k] & ~held[k];
    return raised != 0;
}

bool mtd_write(int fd, uint32_t offset, uint32_t length, const uint8_t* buffer)
{
    if (debug_write)
        std::printf("mtd write 0x%08lx to 0x%08lx 0x%08lx\n", ul(offset), ul(offset + length - 1), address(buffer));
    return plat::pwrite(fd, buffer, length, static_cast<off_t>(offset)) >= 0;
}

// --- range layer: a byte range split into erase blocks ----------------------

// The block arithmetic masks and shifts with the erase size: anything but a
// power of two of at least 1 KiB (with a shift that matches it) would divide
// wrongly or never end.
bool geometry_usable(const MtdInfo& info)
{
    const uint32_t e = info.erase_size;
    const bool ok =
        e >= MIN_ERASE_SIZE && (e & (e - 1)) == 0 && info.erase_shift < 32 && (uint32_t{1} << info.erase_shift) == e;
    if (!ok) std::printf("Unsupported MTD erase size 0x%08lx (not a power of two of at least 1024 bytes)\n", ul(e));
    return ok;
}

// Past the end the kernel reads short and rejects erases half-way through a
// write; wrapped ranges would land on the partition's first blocks.
bool range_usable(const MtdInfo& info, uint32_t offset, uint32_t length)
{
    const bool ok = uint64_t{offset} + length <= info.total_size;
    if (!ok)
        std::printf("Flash range 0x%08lx+0x%08lx outside the partition (0x%08lx bytes)\n", ul(offset), ul(length),
                    ul(info.total_size));
    return ok;
}

struct BlockRange {
    uint32_t first;
    uint32_t last;
    uint32_t blocks;
};

BlockRange block_range(uint32_t offset, uint32_t length, const MtdInfo& info)
{
    const uint32_t e = info.erase_size;
    const uint32_t mask = 0u - e;
    BlockRange r{};
    r.first = offset & mask;
    r.last = ((offset + length - 1) & mask) + e - 1;
    r.blocks = (r.last - r.first + 1) >> info.erase_shift;
    return r;
}

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

// Puts the failure on its own line and leaves an empty one after it, so it
// stands out from the progress count.
bool write_failed(const char* what)
{
    std::printf("Flash Write mtd %s failed.\n\n", what);
    return false;
}

bool flash_write(const uint8_t* data, int fd, uint32_t length, uint32_t offset, uint8_t progress, const MtdInfo& info)
{
    const uint32_t e = info.erase_size;
    const BlockRange r = block_range(offset, length, info);
    std::unique_ptr<uint8_t, FreeDeleter> buffer(static_cast<uint8_t*>(std::malloc(e)));

    if (debug_write)
        std::printf("Flash Write 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", ul(offset), ul(offset + length - 1),
                    ul(r.first), ul(r.last), static_cast<long>(r.blocks));
    if (!buffer) {
        std::puts("Flash Write malloc failed");
        return false;
    }
    uint8_t* const block_buf = buffer.get();
    if (progress) std::printf("     ");

    uint32_t done = 0;
    uint32_t block = r.first;
    for (uint32_t i = 0; i < r.blocks; ++i) {
        uint32_t at = 0;
        uint32_t count = e;
        if (r.blocks == 1) {
            at = offset - r.first;
            count = length;
        } else if (i == 0) {
            at = offset - r.first;
            count = e - at;
        } else if (i == r.blocks - 1) {
            count = length - done;
        }

        // A part of a block is merged into what the block holds, zeroed
        // first so that a short read writes zeros back, never stale bytes of
        // the previous block. A block overwritten whole is read only to learn
        // whether it can skip the erase (or the write): if that read fails
        // or comes short, the block is erased and written as it stands.
        const uint8_t* source = data + done;
        bool erase = true;
        bool write = true;
        if (count != e) {
            std::memset(block_buf, 0, e);
            if (!mtd_read(fd, block, e, block_buf)) return write_failed("read");
            if (count != 0) {
                erase = needs_erase(source, block_buf + at, count);
                write = std::memcmp(block_buf + at, source, count) != 0;
                std::memcpy(block_buf + at, source, count);
            } else {
                erase = write = false;
            }
            source = block_buf;
        } else if (mtd_read_whole(fd, block, e, block_buf)) {
            erase = needs_erase(source, block_buf, e);
            write = std::memcmp(block_buf, source, e) != 0;
        }
        // A block that already holds its bytes is left alone.
        if (write && erase && !mtd_erase(fd, block, e)) return write_failed("erase");
        if (write && !mtd_write(fd, block, e, source)) return write_failed("write");

        if (progress) {
            std::printf("\b\b\b\b%3.3d%c", static_cast<int>(i * 100 / r.blocks), '%');
            std::fflush(stdout);
        }
        block += e;
        done += count;
    }
    if (progress) std::printf("\b\b\b\b100%c\n", '%');
    return true;
}

bool flash_erase(int fd, uint32_t length, uint32_t offset, const MtdInfo& info)
{
    const BlockRange r = block_range(offset, length, info);
    if (debug_erase)
        std::printf("Flash Erase 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", ul(offset), ul(offset + length - 1),
                    ul(r.first), ul(r.last), static_cast<long>(r.blocks));
    uint32_t block = r.first;
    for (uint32_t i = 0; i < r.blocks; ++i, block += info.erase_size) {
        if (!mtd_erase(fd, block, info.erase_size)) {
            std::puts("Flash Erase mtd erase failed.");
            return false;
        }
    }
    return true;
}

bool flash_read(uint8_t* buffer, int fd, uint32_t length, uint32_t offset)
{
    if (debug_read) std::printf("Flash Read 0x%08lx to 0x%08lx\n", ul(offset), ul(offset + length - 1));
    return mtd_read(fd, offset, length, buffer);
}

// The geometry is asked for afresh each time and never trusted blindly.
bool api_geometry(int fd, uint32_t offset, uint32_t length, MtdInfo* info)
{
    return mtd_query(fd, info) && geometry_usable(*info) && range_usable(*info, offset, length);
}

int api_result(bool ok) { return ok ? 0 : -1; }

}  // namespace

int api_flash_init(Partitions& mtd)
{
    // Close-on-exec, like every descriptor of ours: tar, an install script,
    // dhclient, the receiver and the application must not inherit a
    // writable boot loader or kernel.
    constexpr int SYNC_FLAGS = O_RDWR | O_SYNC | O_CLOEXEC;
    mtd.uboot_fd = plat::open("/dev/mtd-uboot", SYNC_FLAGS);
    mtd.uboot_env_fd = plat::open("/dev/mtd-ubootenv", SYNC_FLAGS);
    mtd.device_tree_fd = plat::open("/dev/mtd-devicetree", SYNC_FLAGS);
    mtd.kernel_fd = plat::open("/dev/mtd-kernel", SYNC_FLAGS);
    mtd.rfs_fd = plat::open("/dev/mtd-rfs", SYNC_FLAGS);
    mtd.rescue_fd = plat::open("/dev/mtd-rescue", O_RDWR | O_CLOEXEC);
    return 1;
}

int api_flash_read(uint8_t* buffer, int fd, uint32_t offset, uint32_t length)
{
    MtdInfo info{};
    return api_result(api_geometry(fd, offset, length, &info) && flash_read(buffer, fd, length, offset));
}

int api_flash_write(const uint8_t* data, int fd, uint32_t offset, uint32_t length, uint8_t progress)
{
    MtdInfo info{};
    return api_result(api_geometry(fd, offset, length, &info) &&
                      flash_write(data, fd, length, offset, progress, info));
}

int api_flash_erase(int fd, uint32_t offset, uint32_t length)
{
    MtdInfo info{};
    return api_result(api_geometry(fd, offset, length, &info) && flash_erase(fd, length, offset, info));
}

bool flash_partition_size(int fd, uint32_t* size)
{
    MtdInfo info{};
    if (!mtd_query(fd, &info)) return false;
    *size = info.total_size;
    return true;
}

}  // namespace bladeboot
