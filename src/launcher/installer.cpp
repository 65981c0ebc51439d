#include "launcher/installer.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
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

// An image's CRC field and the CRC of the bytes after it, fed in order.
struct ImageCrc {
    uint32_t stored = 0;
    uint32_t computed = 0xFFFFFFFFu;
    uint32_t seen = 0;

    void add(const uint8_t* bytes, uint32_t count)
    {
        for (; seen < 4 && count > 0; ++seen, ++bytes, --count) stored = stored << 8 | *bytes;
        computed = gen_crc(bytes, count, computed);
        seen += count;
    }
    bool operator==(const ImageCrc&) const = default;
};

// One call's state, about the image being handled. A flash image is held
// whole, so that a stick failing mid-read cannot tear its partition; an
// application is read from the package again when it is written.
struct Walk {
    BootState& state;
    File package;
    ImageCursor cursor;
    uint8_t version_check = 0;
    int32_t slot = 0;
    bool installed = false;
    std::array<uint8_t, HEADER_PROBE_SIZE> header{};
    uint64_t offset = 0;  // in the package
    ImageGeometry geometry{};
    ImageCrc crc{};
    ImageBuffer image{nullptr, Unmap{0}};
};

// Takes each piece with its offset in the image; false stops the read.
using Sink = std::function<bool(const uint8_t* piece, uint32_t at, uint32_t count)>;

constexpr uint32_t STREAM_PIECE = 256 * 1024;

// Reads the image from the package in pieces, into `whole` when given, and
// hands them to `sink`. Nothing when the package reads short (errno EIO) or
// the sink refused (its errno).
std::optional<ImageCrc> read_image(Walk& w, const Sink& sink, uint8_t* whole = nullptr)
{
    // One buffer for every pass: nothing to allocate halfway through an install.
    static std::array<uint8_t, STREAM_PIECE> buffer;
    FILE* package = w.package.get();
    const bool seeked = fseeko(package, static_cast<off_t>(w.offset), SEEK_SET) == 0;
    const uint32_t size = w.geometry.total_size;
    ImageCrc crc;
    uint32_t count = 0;
    for (uint32_t at = 0; at < size; at += count) {
        count = std::min(size - at, STREAM_PIECE);
        uint8_t* piece = whole ? whole + at : buffer.data();
        if (!seeked || std::fread(piece, 1, count, package) != count) {
            errno = EIO;
            return std::nullopt;
        }
        crc.add(piece, count);
        if (sink && !sink(piece, at, count)) return std::nullopt;
    }
    return crc;
}

// Writes the application again through `sink`; false (errno EIO when the
// bytes were not the ones checked) unless it went through unchanged.
bool rewrite_checked(Walk& w, const Sink& sink)
{
    const std::optional<ImageCrc> crc = read_image(w, sink);
    if (crc && *crc == w.crc) return true;
    if (crc) errno = EIO;
    return false;
}

bool crc_matches(const Walk& w, const char* name)
{
    if (w.crc.computed == w.crc.stored) return true;
    std::printf("Bad crc for %s: 0x%08x, voiding download\n", name, w.crc.computed);
    return false;
}

// What the partition's limit is on: the boot loader's len field, everyone else's whole image.
uint32_t placed_size(const Walk& w, const FlashPlacement& p)
{
    return p.type == IMAGE_UBOOT ? get_be32(w.header.data() + 4) : w.geometry.total_size;
}

bool already_installed(const Walk& w, int32_t slot)
{
    return w.version_check && verifyMatchingHeaders(w.state.mtd, w.header.data(), slot) == 1;
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
    if (const uint32_t tested = placed_size(w, p); tested > p.limit) {
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
    const uint8_t* image = w.image.get();
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
    const uint32_t header_length = w.geometry.header_length;
    const Sink payload = [&](const uint8_t* piece, uint32_t at, uint32_t count) {
        const uint32_t skip = at < header_length ? std::min(count, header_length - at) : 0;
        return std::fwrite(piece + skip, 1, count - skip, tarball.get()) == count - skip;
    };
    // An empty payload is a failed write too: there is nothing to unpack.
    if (tarball && w.geometry.payload_length > 0 && rewrite_checked(w, payload) &&
        std::fclose(tarball.release()) == 0) {
        std::printf("Image ready to boot...");
        // The launcher may wait for the application under a debugger; it
        // need not hold the package meanwhile.
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
    SlotWriter file;
    const Sink write = [&](const uint8_t* piece, uint32_t, uint32_t count) { return file.write(piece, count); };
    if (!file.open(slot, w.geometry.total_size, true) || !rewrite_checked(w, write) || !file.commit())
        return slot_update_failed(slot);
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

// Reads a flash image whole, if its partition can take it, and any other
// image of ours only for its CRC.
bool load_image(Walk& w)
{
    const auto p = flash_placement(w.geometry.type);
    const bool whole = p && placed_size(w, *p) <= p->limit;
    if (whole) {
        w.image = image_buffer(w.geometry.total_size);
        if (!w.image) {
            std::printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(w.geometry.total_size));
            return false;
        }
    }
    const std::optional<ImageCrc> crc = read_image(w, nullptr, whole ? w.image.get() : nullptr);
    if (!crc) {
        std::printf("Truncated %s image, voiding download\n", image_name(w.geometry.type));
        return false;
    }
    w.crc = *crc;
    return true;
}

// Loads the next image of ours, stepping over images that
// are not ours by their own size. XMODEM pads a download with 0x1A up to a
// whole block, which reads as such an image with a nonsense size: what cannot
// be stepped over ends the package.
Next read_next_image(Walk& w)
{
    FILE* package = w.package.get();
    ImageCursor& cursor = w.cursor;
    for (;;) {
        if (cursor.at_end() || fseeko(package, static_cast<off_t>(cursor.offset()), SEEK_SET) != 0 ||
            std::fread(w.header.data(), w.header.size(), 1, package) != 1)
            return Next::end;
        const ImageCursor::Header h = cursor.look(w.header.data());
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
        w.offset = h.offset;
        w.geometry = g;
        if (!load_image(w)) return Next::fail;
        cursor.step(h);
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
    Walk w{state, std::move(package), ImageCursor(static_cast<uint64_t>(st.st_size)), version_check, slot};
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
