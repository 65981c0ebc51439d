#include "launcher/diags.hpp"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#include "launcher/crc.hpp"
#include "launcher/flash.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"
#include "launcher/console.hpp"
#include "launcher/launch.hpp"
#include "launcher/slot_file.hpp"
#include "launcher/stdio_file.hpp"
#include "launcher/util.hpp"

namespace bladeboot {

namespace {

constexpr unsigned RESCUE_BOOTED_SLOT = 4;

using File = StdioFile;

void recreate_user_filesystem()
{
    std::puts("unmount filesystem");
    // Erasing the flash under a mounted jffs2 would leave the mount writing
    // into blocks that are no longer its own.
    if (run_command("/bin/umount /user &> /dev/null") != 0) {
        std::puts("Cannot unmount /user: filesystem not erased.");
        return;
    }
    std::puts("\nErasing filesystem for clean install");
    run_command("flash_eraseall /dev/mtd-user-char");
    std::puts("Mounting...");
    run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
    std::puts("creating default filesystem");
    run_command("mkdir /user/images &> /dev/null");
}

// Writes the payload and closes the tarball; false when it is not whole on
// disk, which would unpack into a broken tree.
bool write_tarball(File tarball, const uint8_t* image, const ImageGeometry& g)
{
    const bool written = std::fwrite(image + g.header_length, 1, g.payload_length, tarball.get()) == g.payload_length;
    return std::fclose(tarball.release()) == 0 && written;
}

// The rescue image whole, or null after saying why it cannot be booted.
std::unique_ptr<uint8_t[]> read_rescue_image(int rescue_fd, ImageGeometry& g)
{
    // An unreadable partition leaves zeros, which read as no image at all.
    std::array<uint8_t, HEADER_PROBE_SIZE> probe{};
    if (api_flash_read(probe.data(), rescue_fd, 0, HEADER_PROBE_SIZE) < 0) probe.fill(0);
    g = image_geometry(probe.data());
    if (!is_bootable_type(g.type)) {
        std::fputs("Image not found... \n", stderr);
        return nullptr;
    }
    uint32_t partition_size = 0;
    if (!g.usable || !flash_partition_size(rescue_fd, &partition_size) || g.total_size > partition_size) {
        std::fputs("Image header corrupt. Quitting\n", stderr);
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[g.total_size]);
    if (!image) {
        std::fprintf(stderr, "Failed to allocate buffer for image (%d)\n", static_cast<int>(g.total_size));
        return nullptr;
    }
    if (api_flash_read(image.get(), rescue_fd, 0, g.total_size) < 0) {
        std::fputs("Image read failed. Quitting\n", stderr);
        return nullptr;
    }
    if (CheckCrc(image.get() + 4, g.total_size - 4, get_be32(image.get())) != 0) {
        std::fputs("Image CRC failed. Quitting\n", stderr);
        return nullptr;
    }
    return image;
}

[[noreturn]] void launch_diagnostics(BootState& state, std::unique_ptr<uint8_t[]> image, const ImageGeometry& g)
{
    std::puts("Launching diagnostics image");
    File tarball(std::fopen(APP_TARBALL, "wbe"));
    if (!tarball || !write_tarball(std::move(tarball), image.get(), g)) {
        std::fputs("Failed to open diags image file.\n", stderr);
        board_reset();
    }
    api_set_booted_image(state.i2c, RESCUE_BOOTED_SLOT);
    image.reset();
    launch_image(state, 1);
}

void install_recovery(const BootState& state, const uint8_t* image, const ImageGeometry& g, char slot)
{
    std::printf("\nInstalling recovery image as image%c...\n", slot);
    const int number = slot - '0';
    // Written in place of the slot only once whole: the slot may be the
    // preferred one, and a cut copy there would leave it naming a torn image.
    if (!replace_slot_file(number, image, g.total_size, false)) {
        std::printf("Image%d update failed (err %d)\n", number, errno);
        api_set_booted_image(state.i2c, RESCUE_BOOTED_SLOT);
        return;
    }
    std::printf("Setting boot image to %d\n", number);
    api_set_image(state.i2c, static_cast<unsigned>(number));
    api_set_booted_image(state.i2c, static_cast<unsigned>(number));
}

[[noreturn]] void launch_recovery(BootState& state, std::unique_ptr<uint8_t[]> image, const ImageGeometry& g)
{
    std::printf("Install recovery image as image 1 or 2 (hit return to just boot image): ");
    std::fflush(stdout);
    std::array<char, 8> answer{};
    if (read_stdin_line(answer.data(), answer.size())) {
        if (answer[0] == '1' || answer[0] == '2') {
            install_recovery(state, image.get(), g, answer[0]);
        } else {
            std::puts("\nBooting recovery image. You will need to download and install an image before rebooting");
            api_set_booted_image(state.i2c, RESCUE_BOOTED_SLOT);
        }
    }
    image.reset();
    launch_image(state, 0);
}

}  // namespace

int run_standalone_diags(BootState& state)
{
    std::printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    std::fflush(stdout);
    const int key = uartGetC();
    std::printf("\n");
    if (key != 0 && std::toupper(key) == 'Y') recreate_user_filesystem();
    std::puts("Booting diags image...");
    extract_image_from_flash(state);
    return 1;
}

int extract_image_from_flash(BootState& state)
{
    File tarball(std::fopen(APP_TARBALL, "wbe"));
    if (!tarball) {
        std::fputs("Failed to open AppOS tarfile.\n", stderr);
        board_reset();
    }
    ImageGeometry g{};
    std::unique_ptr<uint8_t[]> image = read_rescue_image(state.mtd.rescue_fd, g);
    if (!image) return 0;
    if (!write_tarball(std::move(tarball), image.get(), g)) {
        std::fputs("Failed to open AppOS tarfile.\n", stderr);
        board_reset();
    }
    if (g.type == IMAGE_DIAGS) launch_diagnostics(state, std::move(image), g);
    launch_recovery(state, std::move(image), g);
}

}  // namespace bladeboot
