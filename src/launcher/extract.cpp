#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "launcher/crc.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"
#include "launcher/launch.hpp"
#include "launcher/rescue.hpp"
#include "launcher/stdio_file.hpp"
#include "launcher/usb_boot.hpp"
#include "launcher/util.hpp"

namespace bladeboot {

namespace {

struct WalkResult {
    bool found = false;
    ImageGeometry geometry{};  // of the last header read
    uint8_t header[HEADER_PROBE_SIZE]{};
    uint64_t position = 0;  // start of the last image looked at
    uint64_t file_size = 0;
};

uint64_t size_of(FILE* file)
{
    struct stat st {};
    if (::fstat(fileno(file), &st) != 0 || st.st_size < 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

// fseeko: a long cannot reach past 2 GiB on the 32-bit target.
bool seek_to(FILE* file, uint64_t position)
{
    return position <= static_cast<uint64_t>(INT64_MAX) && ::fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

// Every step moves strictly forward and stays inside the file, so the walk
// ends whatever the headers claim.
WalkResult walk_images(FILE* file)
{
    WalkResult walk;
    walk.file_size = size_of(file);
    for (;;) {
        if (!seek_to(file, walk.position) || std::fread(walk.header, 1, HEADER_PROBE_SIZE, file) != HEADER_PROBE_SIZE)
            return walk;
        walk.geometry = image_geometry(walk.header);
        if (is_bootable_type(walk.geometry.type)) {
            walk.found = seek_to(file, walk.position);
            return walk;
        }
        const uint32_t total = walk.geometry.total_size;
        if (!walk.geometry.usable || total == 0 || total > walk.file_size - walk.position) return walk;
        walk.position += total;
    }
}

const char* slot_path(int slot)
{
    switch (slot) {
        case 1:
            return SLOT1_PATH;
        case 2:
            return SLOT2_PATH;
        default:
            return USB_IMAGE_PATH;
    }
}

int other_slot(int slot) { return slot == 1 ? 2 : 1; }

[[noreturn]] void rescue_then_reboot()
{
    run_rescue_mode();
    run_shell_if_enabled();
    board_reset();
}

[[noreturn]] void shell_then_reboot()
{
    run_shell_if_enabled();
    board_reset();
}

// Opens the slot's file; for slots 1 and 2 falls back to the other slot's
// file (and updates `slot`), and ends in the rescue menu when neither opens.
StdioFile open_slot(int& slot)
{
    StdioFile file{std::fopen(slot_path(slot), "rb")};
    if (file || slot == 3) return file;
    const int other = other_slot(slot);
    std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", slot, other);
    slot = other;
    file.reset(std::fopen(slot_path(slot), "rb"));
    if (!file) {
        std::fprintf(stderr, "Failed to open Application image %d.\n", slot);
        rescue_then_reboot();
    }
    return file;
}

// A USB image goes on the reject list before it is even checked, so an
// image that hangs the board is not booted again without asking.
bool usb_image_accepted()
{
    if (!usb_is_image_rejected(USB_IMAGE_PATH)) {
        usb_add_image_to_reject_list(USB_IMAGE_PATH);
        return true;
    }
    if (!yesno_question("USB image is in rejected list.\nWould you still like to load it? ")) return false;
    std::puts("Continuing to load USB image...");
    return true;
}

// Reads the found image whole and checks it. Anything that keeps the check
// from happening (odd geometry, no memory, file cut short) counts as a bad
// CRC. On success the buffer holds the image.
bool read_and_check(FILE* file, const WalkResult& walk, std::unique_ptr<uint8_t[]>& image)
{
    const ImageGeometry& g = walk.geometry;
    if (!g.usable || g.total_size > walk.file_size - walk.position) return false;
    image.reset(new (std::nothrow) uint8_t[g.total_size]);
    if (!image) return false;
    if (std::fread(image.get(), 1, g.total_size, file) != g.total_size) return false;
    return CheckCrc(image.get() + 4, g.total_size - 4, get_be32(walk.header)) == 0;
}

[[noreturn]] void tarball_failed()
{
    std::fputs("Failed to open application image output file.\n", stderr);
    shell_then_reboot();
}

enum class Failure { no_bootable_image, bad_image };

// Ends one attempt with both files closed: 0 lets the caller try elsewhere;
// once the other slot has been tried there is nowhere left to go.
int attempt_failed(Failure failure, int slot, uint32_t last_type, StdioFile& in, StdioFile& out)
{
    in.reset();
    out.reset();
    const bool bad = failure == Failure::bad_image;
    if (slot == 3) {
        std::fputs(bad ? "USB image CRC failed." : "Error: USB image corrupted or belongs to another switch type.\n",
                   stderr);
        return 0;
    }
    if (tried_alt_image) {
        if (bad) {
            std::fputs("Both image1 and image2 failed.\n", stderr);
            shell_then_reboot();
        }
        std::fputs("No valid application image found. Trying rescue image\n", stderr);
        rescue_then_reboot();
    }
    if (bad) {
        std::fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", slot, other_slot(slot));
    } else {
        std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", last_type, IMAGE_DIAGS);
        std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot, other_slot(slot));
    }
    return 0;
}

}  // namespace

int parse_image(FILE* file, uint32_t* type, uint8_t* kind, uint32_t* header_length, uint32_t* payload_length,
                uint8_t* header_copy)
{
    const WalkResult walk = walk_images(file);
    *type = walk.geometry.type;
    *kind = walk.geometry.kind;
    *header_length = walk.geometry.header_length;
    *payload_length = walk.geometry.payload_length;
    if (!walk.found) return 0;
    std::memcpy(header_copy, walk.header, HEADER_COPY_SIZE);
    return 1;
}

int extract_image(int slot)
{
    if (slot < 1 || slot > 3) return 0;

    StdioFile in = open_slot(slot);
    if (!in) {
        std::fputs("Failed to open application image from USB.\n", stderr);
        return 0;
    }
    if (slot == 3 && !usb_image_accepted()) return 0;

    StdioFile out{std::fopen(APP_TARBALL, "wb")};
    if (!out) {
        in.reset();
        tarball_failed();
    }

    const WalkResult walk = walk_images(in.get());
    if (!walk.found) return attempt_failed(Failure::no_bootable_image, slot, walk.geometry.type, in, out);

    std::unique_ptr<uint8_t[]> image;
    if (!read_and_check(in.get(), walk, image)) {
        image.reset();
        return attempt_failed(Failure::bad_image, slot, walk.geometry.type, in, out);
    }

    const ImageGeometry& g = walk.geometry;
    const bool written = std::fwrite(image.get() + g.header_length, 1, g.payload_length, out.get()) == g.payload_length;
    image.reset();
    in.reset();
    // A tarball short of its payload would unpack into a broken tree; it is
    // as good as one that could not be created.
    if (std::fclose(out.release()) != 0 || !written) tarball_failed();

    api_set_booted_image(static_cast<unsigned>(slot));
    if (gdb_enable && !gdbserver_enable) extract_gdb(slot);
    launch_image(g.type == IMAGE_DIAGS ? 1 : 0);
}

}  // namespace bladeboot
