#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

#include "launcher/crc.hpp"
#include "launcher/flash.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"
#include "launcher/launch.hpp"
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
    int* fd;  // read at install time: mtd_open sets the descriptors at start-up
};

constexpr FlashPlacement FLASH_PLACEMENTS[] = {
    {IMAGE_UBOOT, "Installing Boot Loader: ", "UBOOT", "UBOOT", 0x80000, "Uboot image update failed", &uboot_fd},
    {IMAGE_KERNEL, "Installing Kernel: ", "KERNEL", "KERNEL", 0x300000, "kernel image update failed", &kernel_fd},
    {IMAGE_RFS, "Installing Root Filesystem: ", "RFS", "RFS", 0xF00000, "RFS image update failed", &rfs_fd},
    {IMAGE_DFT, "Installing Device Tree: ", "DFT", "DFT", 0x40000, "DFT image update failed", &device_tree_fd},
    {IMAGE_DIAGS, "Installing Diagnostics: ", "DIAGNOSTICS IMAGE", "DIAGS", 0xA00000, "DIAGS image update failed",
     &rescue_fd},
};

const FlashPlacement* flash_placement(uint32_t type)
{
    for (const auto& p : FLASH_PLACEMENTS)
        if (p.type == type) return &p;
    return nullptr;
}

constexpr const char* IMAGES_DIR = "/user/images";
constexpr uint32_t SLOT_PIECE = 65536;

// One call's state; the image buffer holds the image being handled, header
// included, and is replaced by the next one.
struct Walk {
    File package;
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
    return w.version_check && verifyMatchingHeaders(w.image.get(), slot) == 1;
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
    if (already_installed(w, w.slot)) {
        std::puts("Image has same version as existing image. Skipping update...");
        return true;
    }
    // The boot loader runs from the partition's first byte, so its header stays behind.
    const bool payload_only = p.type == IMAGE_UBOOT;
    const uint8_t* data = payload_only ? image + w.geometry.header_length : image;
    const uint32_t length = payload_only ? w.geometry.payload_length : w.geometry.total_size;
    if (api_flash_write(data, *p.fd, 0, length, 1) < 0) {
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
    File tarball(std::fopen(APP_TARBALL, "wb"));
    // An empty payload is a failed write too: there is nothing to unpack.
    if (tarball &&
        std::fwrite(w.image.get() + w.geometry.header_length, w.geometry.payload_length, 1, tarball.get()) == 1 &&
        std::fclose(tarball.release()) == 0) {
        std::printf("Image ready to boot...");
        // The launcher may wait for the application under a debugger; it
        // need not hold the image meanwhile.
        w.image.reset();
        w.package.reset();
        launch_image(0);
        board_reset();
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
    api_set_image(static_cast<unsigned>(slot));
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
    const FlashPlacement* p = flash_placement(type);
    return p ? p->crc_name : "APPLICATION";
}

enum class Next { image, end, fail };

// Where the next image of ours starts, stepping over images that are not
// ours by their own size. XMODEM pads a download with 0x1A up to a whole
// block, which reads as such an image with a nonsense size: anything that
// does not fit in what is left cannot be stepped over and ends the package.
Next find_next_image(FILE* package, long long package_size, fpos_t& start, ImageGeometry& g)
{
    for (;;) {
        const long long offset = ftello(package);
        if (offset < 0 || std::fgetpos(package, &start) != 0) return Next::end;
        std::array<uint8_t, HEADER_PROBE_SIZE> probe{};
        if (std::fread(probe.data(), probe.size(), 1, package) != 1) return Next::end;
        g = image_geometry(probe.data());
        if (g.type == IMAGE_APPLICATION || flash_placement(g.type)) {
            // Checked before allocating: a bogus length must not size a buffer.
            const long long left = package_size - offset;
            if (!g.usable) {
                std::printf("Bad header for %s, voiding download\n", image_name(g.type));
                return Next::fail;
            }
            if (g.total_size > left) {
                std::printf("Truncated %s image (%lld of %u bytes), voiding download\n", image_name(g.type), left,
                            g.total_size);
                return Next::fail;
            }
            return Next::image;
        }
        if (!g.usable || g.total_size > package_size - offset ||
            fseeko(package, static_cast<off_t>(offset + g.total_size), SEEK_SET) != 0)
            return Next::end;
    }
}

// Reads the next image of ours whole into w.image.
Next read_next_image(Walk& w, long long package_size)
{
    FILE* package = w.package.get();
    fpos_t start;
    ImageGeometry g{};
    if (const Next found = find_next_image(package, package_size, start, g); found != Next::image) return found;
    w.image.reset(new (std::nothrow) uint8_t[g.total_size]);
    if (!w.image) {
        std::printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(g.total_size));
        return Next::fail;
    }
    if (std::fsetpos(package, &start) != 0 || std::fread(w.image.get(), 1, g.total_size, package) != g.total_size) {
        std::printf("Truncated %s image, voiding download\n", image_name(g.type));
        return Next::fail;
    }
    w.geometry = g;
    return Next::image;
}

bool install_image(Walk& w)
{
    if (const FlashPlacement* p = flash_placement(w.geometry.type)) return install_flash(w, *p);
    return install_application(w);
}

bool discard(const char* staging)
{
    const int error = errno;
    ::unlink(staging);
    errno = error;
    return false;
}

}  // namespace

bool replace_slot_file(int32_t slot, const uint8_t* image, uint32_t size, bool progress)
{
    if (!path_exists(IMAGES_DIR)) ::mkdir(IMAGES_DIR, 0755);
    char path[32];
    char staging[40];
    std::snprintf(path, sizeof path, "/user/images/image%d", slot);
    std::snprintf(staging, sizeof staging, "%s.new", path);
    File file(std::fopen(staging, "wb"));
    if (!file) return false;
    if (progress) std::printf("    ");
    for (uint32_t done = 0; done < size;) {
        const uint32_t piece = std::min(size - done, SLOT_PIECE);
        if (std::fwrite(image + done, 1, piece, file.get()) != piece) return discard(staging);
        done += piece;
        // 64-bit: done * 100 overflows 32 bits beyond 42 MB.
        if (progress) std::printf("\b\b\b\b%3.3d%c", static_cast<int>(uint64_t{done} * 100 / size), '%');
    }
    // What stdio and the kernel still hold must be on the flash before the
    // name moves: a rename that outlives its data would be a torn slot.
    if (std::fflush(file.get()) != 0 || ::fsync(fileno(file.get())) != 0) return discard(staging);
    if (std::fclose(file.release()) != 0 || std::rename(staging, path) != 0) return discard(staging);
    return true;
}

int processBladeImage(const char* path, uint8_t version_check, int32_t slot)
{
    Walk w;
    w.package.reset(std::fopen(path, "rb"));
    w.version_check = version_check;
    w.slot = slot;
    struct stat st {};
    if (!w.package || ::fstat(fileno(w.package.get()), &st) != 0) {
        std::printf("Cannot open image package %s (err %d)\n", path, errno);
        return 0;
    }
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    Next next;
    while ((next = read_next_image(w, st.st_size)) == Next::image) {
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
