// The boot road over a slot file of any content: the walk to the first
// bootable image, the whole-image read and the CRC check, and what follows
// (launch, fall-back, rescue, reboot). Input: one flag byte, then the file.
//   bit 0: fix the CRCs   bit 1: boot slot 2 instead of 1
//   bit 2: the other slot was tried already   bit 3: slot 2's file exists too
#include "harness.hpp"
#include "launcher/extract.hpp"
#include "launcher/slot_file.hpp"

void fuzz::one_input(Input in, fake::Board& b)
{
    const uint8_t flags = in.byte();
    const Bytes file = fixed_crcs(in.take(), flags & 1);
    ::mkdir("/user/images", 0755);
    const int slot = flags & 2 ? 2 : 1;
    write_file(slot == 1 ? SLOT1_PATH : SLOT2_PATH, file);
    if (flags & 8) write_file(slot == 1 ? SLOT2_PATH : SLOT1_PATH, file);

    // The walk on its own: whatever it claims must hold for the file.
    if (FILE* f = std::fopen(slot == 1 ? SLOT1_PATH : SLOT2_PATH, "rb")) {
        uint32_t type = 0, header_length = 0, payload_length = 0;
        uint8_t kind = 0, copy[HEADER_COPY_SIZE] = {};
        if (parse_image(f, &type, &kind, &header_length, &payload_length, copy) == 1)
            check(is_bootable_type(type) && std::ftell(f) >= 0 &&
                  size_t(std::ftell(f)) + HEADER_PROBE_SIZE <= file.size());
        std::fclose(f);
    }
    BootState state{.tried_alt_image = (flags & 4) != 0};
    road([&] { extract_image(state, slot); });
}
