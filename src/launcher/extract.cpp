#include "launcher/extract.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "launcher/crc.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"
#include "launcher/launch.hpp"
#include "launcher/rescue.hpp"
#include "launcher/slot_file.hpp"
#include "launcher/stdio_file.hpp"
#include "launcher/usb_boot.hpp"
#include "launcher/util.hpp"
#include "launcher/yesno.hpp"

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

WalkResult walk_images(FILE* file)
{
    WalkResult walk;
    walk.file_size = size_of(file);
    ImageCursor cursor(walk.file_size);
    while (!cursor.at_end()) {
        walk.position = cursor.offset();
        if (!seek_to(file, walk.position) || std::fread(walk.header, 1, HEADER_PROBE_SIZE, file) != HEADER_PROBE_SIZE)
            break;
        const ImageCursor::Header h = cursor.look(walk.header);
        walk.geometry = h.geometry;
        if (is_bootable_type(h.geometry.type)) {
            walk.found = seek_to(file, walk.position);
            break;
        }
        if (!cursor.step(h)) break;
    }
    return walk;
}

int other_slot(int slot) { return slot == 1 ? 2 : 1; }

// A slot attempt: its two files, and what the walk found.
struct Attempt {
    int slot;
    StdioFile in;
    StdioFile out;
    WalkResult walk;
    ImageBuffer image{nullptr, Unmap{0}};
};

// Opens the slot's file; for slots 1 and 2 falls back to the other slot's
// file (and updates the slot).
bool open_slot(Attempt& a)
{
    if (a.slot == 3) {
        a.in.reset(std::fopen(USB_IMAGE_PATH, "rbe"));
        return a.in != nullptr;
    }
    a.in.reset(std::fopen(slot_path(a.slot), "rbe"));
    if (a.in) return true;
    const int other = other_slot(a.slot);
    std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", a.slot, other);
    a.slot = other;
    a.in.reset(std::fopen(slot_path(a.slot), "rbe"));
    if (!a.in) std::fprintf(stderr, "Failed to open Application image %d.\n", a.slot);
    return a.in != nullptr;
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
// CRC.
bool read_and_check(Attempt& a)
{
    const WalkResult& walk = a.walk;
    const ImageGeometry& g = walk.geometry;
    if (!g.usable || g.total_size > walk.file_size - walk.position) return false;
    a.image = image_buffer(g.total_size);
    if (!a.image) return false;
    if (std::fread(a.image.get(), 1, g.total_size, a.in.get()) != g.total_size) return false;
    return CheckCrc(a.image.get() + 4, g.total_size - 4, get_be32(walk.header)) == 0;
}

// Everything short of writing the payload out: the slot's file, the
// stick's reject list, the tarball, the walk and the check.
std::optional<SlotFailure> check_slot(Attempt& a)
{
    if (!open_slot(a)) return SlotFailure::not_opened;
    if (a.slot == 3 && !usb_image_accepted()) return SlotFailure::declined;
    a.out.reset(std::fopen(APP_TARBALL, "wbe"));
    if (!a.out) return SlotFailure::tarball_failed;
    a.walk = walk_images(a.in.get());
    if (!a.walk.found) return SlotFailure::no_bootable_image;
    if (!read_and_check(a)) return SlotFailure::bad_image;
    return std::nullopt;
}

// What the operator reads about a failure; the rescue menu's road after
// unopened files has already said which.
void report(SlotFailure failure, Ending ending, const Attempt& a)
{
    const bool usb = a.slot == 3;
    switch (failure) {
    case SlotFailure::not_opened:
        if (usb) std::fputs("Failed to open application image from USB.\n", stderr);
        return;
    case SlotFailure::declined: return;
    case SlotFailure::tarball_failed: std::fputs("Failed to open application image output file.\n", stderr); return;
    case SlotFailure::no_bootable_image:
        if (usb) {
            std::fputs("Error: USB image corrupted or belongs to another switch type.\n", stderr);
        } else if (ending == Ending::try_elsewhere) {
            std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", a.walk.geometry.type, IMAGE_DIAGS);
            std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", a.slot, other_slot(a.slot));
        } else {
            std::fputs("No valid application image found. Trying rescue image\n", stderr);
        }
        return;
    case SlotFailure::bad_image:
        if (usb) {
            std::fputs("USB image CRC failed.", stderr);
        } else if (ending == Ending::try_elsewhere) {
            std::fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", a.slot, other_slot(a.slot));
        } else {
            std::fputs("Both image1 and image2 failed.\n", stderr);
        }
        return;
    }
}

[[noreturn]] void boot_checked(BootState& state, Attempt& a)
{
    const ImageGeometry& g = a.walk.geometry;
    const bool written = std::fwrite(a.image.get() + g.header_length, 1, g.payload_length, a.out.get()) ==
                         g.payload_length;
    a.image.reset();
    a.in.reset();
    // A tarball short of its payload would unpack into a broken tree; it is
    // as good as one that could not be created.
    if (std::fclose(a.out.release()) != 0 || !written) {
        report(SlotFailure::tarball_failed, Ending::shell_reboot, a);
        run_shell_if_enabled(state);
        board_reset();
    }
    api_set_booted_image(state.i2c, static_cast<unsigned>(a.slot));
    if (state.gdb_enable && !state.gdbserver_enable) extract_gdb(a.slot);
    launch_image(state, g.type == IMAGE_DIAGS ? 1 : 0);
}

}  // namespace

Ending ending_for(SlotFailure failure, int slot, bool tried_alt_image)
{
    // Once the other slot has been tried there is nowhere left to go. The
    // stick's image only ever hands back to the slots.
    struct Rule {
        SlotFailure failure;
        Ending usb, first_try, last_try;
    };
    static constexpr Rule RULES[] = {
        {SlotFailure::not_opened, Ending::try_elsewhere, Ending::rescue_shell_reboot, Ending::rescue_shell_reboot},
        {SlotFailure::declined, Ending::try_elsewhere, Ending::try_elsewhere, Ending::try_elsewhere},
        {SlotFailure::tarball_failed, Ending::shell_reboot, Ending::shell_reboot, Ending::shell_reboot},
        {SlotFailure::no_bootable_image, Ending::try_elsewhere, Ending::try_elsewhere, Ending::rescue_shell_reboot},
        {SlotFailure::bad_image, Ending::try_elsewhere, Ending::try_elsewhere, Ending::shell_reboot},
    };
    for (const Rule& r : RULES)
        if (r.failure == failure) return slot == 3 ? r.usb : tried_alt_image ? r.last_try : r.first_try;
    return Ending::shell_reboot;
}

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

int extract_image(BootState& state, int slot)
{
    if (slot < 1 || slot > 3) return 0;
    Attempt a{slot, nullptr, nullptr, {}, nullptr};
    const std::optional<SlotFailure> failure = check_slot(a);
    if (!failure) boot_checked(state, a);

    // Both files are closed before anything follows.
    a.image.reset();
    a.in.reset();
    a.out.reset();
    const Ending ending = ending_for(*failure, a.slot, state.tried_alt_image != 0);
    report(*failure, ending, a);
    switch (ending) {
    case Ending::try_elsewhere: return 0;
    case Ending::rescue_shell_reboot: run_rescue_mode(state); [[fallthrough]];
    case Ending::shell_reboot:
        run_shell_if_enabled(state);
        board_reset();
    }
    return 0;
}

}  // namespace bladeboot
