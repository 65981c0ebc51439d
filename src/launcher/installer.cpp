#include "launcher/installer.hpp"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "launcher/crc.hpp"
#include "launcher/flash.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"
#include "launcher/installed.hpp"
#include "launcher/launch.hpp"
#include "launcher/slot_file.hpp"
#include "launcher/stdio_file.hpp"
#include "launcher/util.hpp"

namespace bladeboot {

namespace {

using File = StdioFile;

struct FlashPlacement {
    uint32_t type;
    const char* announcement;
    const char* crc_name;
    const char* size_name;
    uint32_t limit;
    const char* write_failure;
    int Partitions::*fd;
};

// Where each type of image goes; none for an application image, which goes to a slot.
std::optional<FlashPlacement> flash_placement(uint32_t type)
{
    constexpr FlashPlacement placements[] = {
        {IMAGE_UBOOT, "Installing Boot Loader: ", "UBOOT", "UBOOT", 0x80000, "Uboot image update failed",
         &Partitions::uboot_fd},
        {IMAGE_KERNEL, "Installing Kernel: ", "KERNEL", "KERNEL", 0x300000, "kernel image update failed",
         &Partitions::kernel_fd},
        {IMAGE_RFS, "Installing Root Filesystem: ", "RFS", "RFS", 0xF00000, "RFS image update failed",
         &Partitions::rfs_fd},
        {IMAGE_DFT, "Installing Device Tree: ", "DFT", "DFT", 0x40000, "DFT image update failed",
         &Partitions::device_tree_fd},
        {IMAGE_DIAGS, "Installing Diagnostics: ", "DIAGNOSTICS IMAGE", "DIAGS", 0xA00000, "DIAGS image update failed",
         &Partitions::rescue_fd},
    };
    for (const auto& p : placements)
        if (p.type == type) return p;
    return std::nullopt;
}

// One call's state; the image buffer holds the image being handled, header
// included, and is replaced by the next one.
struct Walk {
    BootState& state;
    File package;
    ImageCursor cursor;
    uint8_t version_check = 0;
    int32_t slot = 0;
    bool installed = false;
    std::unique_ptr<uint8_t[]> image;
    ImageGeometry geometry{};
};

bool crc_matches(const Walk& w, const char* name)
{
    const uint32_t computed = gen_crc(w.image.get() + 4, w.geometry.total_size - 4, 0xFFFFFFFFu);
    if (computed == get_be32(w.image.get())) return true;
    std::printf("Bad crc for %s: 0x%08x, voiding download\n", name, computed);
    return false;
}

bool already_installed(const Walk& w, int32_t slot)
{
    return w.version_check && verifyMatchingHeaders(w.state.mtd, w.image.get(), slot) == 1;
}

// What tells an installed boot loader from another is the header copy it
// carries; one without it would count as new at every start, and a stick
// left in place would reflash it and reboot for ever.
bool carries_header_copy(const Walk& w)
{
    const ImageGeometry& g = w.geometry;
    if (g.payload_length < UBOOT_HEADER_OFFSET + HEADER_COPY_SIZE) return false;
    const uint8_t* copy = w.image.get() + g.header_length + UBOOT_HEADER_OFFSET;
    return std::memcmp(copy + 4, w.image.get() + 4, HEADER_COPY_SIZE - 4) == 0;
}

bool install_flash(Walk& w, const FlashPlacement& p)
{
    std::fputs(p.announcement, stdout);
    std::fflush(stdout);
    if (!crc_matches(w, p.crc_name)) return false;
    const uint8_t* image = w.image.get();
    // The boot loader's limit is on its len field; everyone else's on the whole image.
    const uint32_t tested = p.type == IMAGE_UBOOT ? get_be32(image + 4) : w.geometry.total_size;
    if (tested > p.limit) {
        std::printf("%s image is too big for flash (%d > %d)\n", p.size_name, static_cast<int>(tested),
                    static_cast<int>(p.limit));
        return false;
    }
    if (p.type == IMAGE_UBOOT && !carries_header_copy(w)) {
        std::printf("Boot loader image carries no header copy at byte %u, voiding download\n", UBOOT_HEADER_OFFSET);
        return false;
    }
    if (already_installed(w, w.slot)) {
        std::puts("Image has same version as existing image. Skipping update...");
        return true;
    }
    // The boot loader runs from the partition's first byte, so its header stays behind.
    const bool payload_only = p.type == IMAGE_UBOOT;
    const uint8_t* data = payload_only ? image + w.geometry.header_length : image;
    const uint32_t length = payload_only ? w.geometry.payload_length : w.geometry.total_size;
    if (api_flash_write(data, w.state.mtd.*p.fd, 0, length, 1) < 0) {
        std::puts(p.write_failure);
        return false;
    }
    w.installed = true;
    if (p.type == IMAGE_DIAGS) std::puts("done");
    return true;
}

void ask_for_slot(Walk& w)
{
    std::printf("Install image as image 1 or 2 (hit return to just boot image): ");
    std::fflush(stdout);
    std::array<char, 32> answer{};
    if (read_stdin_line(answer.data(), answer.size()) && (answer[0] == '1' || answer[0] == '2'))
        w.slot = answer[0] - '0';
}

// Returns only when the payload could not be put in place.
bool boot_downloaded(Walk& w)
{
    std::puts("Booting downloaded image");
    errno = 0;
    File tarball(std::fopen(APP_TARBALL, "wbe"));
    // An empty payload is a failed write too: there is nothing to unpack.
    if (tarball &&
        std::fwrite(w.image.get() + w.geometry.header_length, w.geometry.payload_length, 1, tarball.get()) == 1 &&
        std::fclose(tarball.release()) == 0) {
        std::printf("Image ready to boot...");
        // The launcher may wait for the application under a debugger; it
        // need not hold the image meanwhile.
        w.image.reset();
        w.package.reset();
        launch_image(w.state, 0);
    }
    std::printf("Image unpack failed (err %d)\n", errno);
    return false;
}

bool slot_update_failed(int32_t slot)
{
    std::printf("Image%d update failed (err %d)\n", slot, errno);
    return false;
}

bool write_slot(Walk& w)
{
    const int32_t slot = w.slot;
    std::printf("Installing image as image%d: ", slot);
    if (already_installed(w, slot)) {
        std::printf("Image%d has same version as existing image. Skipping update...\n", slot);
        return true;
    }
    if (!replace_slot_file(slot, w.image.get(), w.geometry.total_size, true)) return slot_update_failed(slot);
    std::printf("\b\b\b\b100%c\n", '%');
    std::printf("\nImage%d updated succeeded\n", slot);
    w.installed = true;
    api_set_image(w.state.i2c, static_cast<unsigned>(slot));
    return true;
}

bool install_application(Walk& w)
{
    std::fputs("Installing Application: ", stdout);
    std::fflush(stdout);
    if (!crc_matches(w, "APPLICATION")) return false;
    if (w.slot == 0) ask_for_slot(w);
    if (w.slot == 0) return boot_downloaded(w);
    return write_slot(w);
}

const char* image_name(uint32_t type)
{
    const auto p = flash_placement(type);
    return p ? p->crc_name : "APPLICATION";
}

enum class Next { image, end, fail };

bool is_ours(uint32_t type) { return type == IMAGE_APPLICATION || flash_placement(type).has_value(); }

// Reads the next image of ours whole into w.image, stepping over images that
// are not ours by their own size. XMODEM pads a download with 0x1A up to a
// whole block, which reads as such an image with a nonsense size: what cannot
// be stepped over ends the package.
Next read_next_image(Walk& w)
{
    FILE* package = w.package.get();
    ImageCursor& cursor = w.cursor;
    for (;;) {
        std::array<uint8_t, HEADER_PROBE_SIZE> probe{};
        if (cursor.at_end() || fseeko(package, static_cast<off_t>(cursor.offset()), SEEK_SET) != 0 ||
            std::fread(probe.data(), probe.size(), 1, package) != 1)
            return Next::end;
        const ImageCursor::Header h = cursor.look(probe.data());
        const ImageGeometry& g = h.geometry;
        if (!is_ours(g.type)) {
            if (!cursor.step(h)) return Next::end;
            continue;
        }
        // Checked before allocating: a bogus length must not size a buffer.
        if (h.fault != HeaderFault::none) {
            std::printf("Bad header for %s, voiding download\n", image_name(g.type));
            return Next::fail;
        }
        if (!h.fits) {
            std::printf("Truncated %s image (%lld of %u bytes), voiding download\n", image_name(g.type),
                        static_cast<long long>(cursor.left()), g.total_size);
            return Next::fail;
        }
        w.image.reset(new (std::nothrow) uint8_t[g.total_size]);
        if (!w.image) {
            std::printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(g.total_size));
            return Next::fail;
        }
        if (fseeko(package, static_cast<off_t>(h.offset), SEEK_SET) != 0 ||
            std::fread(w.image.get(), 1, g.total_size, package) != g.total_size) {
            std::printf("Truncated %s image, voiding download\n", image_name(g.type));
            return Next::fail;
        }
        cursor.step(h);
        w.geometry = g;
        return Next::image;
    }
}

bool install_image(Walk& w)
{
    if (const auto p = flash_placement(w.geometry.type)) return install_flash(w, *p);
    return install_application(w);
}

}  // namespace

int processBladeImage(BootState& state, const char* path, uint8_t version_check, int32_t slot)
{
    File package(std::fopen(path, "rbe"));
    struct stat st {};
    if (!package || ::fstat(fileno(package.get()), &st) != 0 || st.st_size < 0) {
        std::printf("Cannot open image package %s (err %d)\n", path, errno);
        return 0;
    }
    Walk w{state, std::move(package), ImageCursor(static_cast<uint64_t>(st.st_size)), version_check, slot, false,
           nullptr, {}};
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    Next next;
    while ((next = read_next_image(w)) == Next::image) {
        if (!install_image(w)) return 0;
        w.image.reset();
    }
    if (next == Next::fail) return 0;
    std::puts("File processed");
    w.package.reset();
    if (w.installed) return 1;
    std::puts("ERROR: No valid image found");
    return 0;
}

}  // namespace bladeboot
