// The boot road over a slot file of any content: the walk to the first
// bootable image, the whole-image read and the CRC check, and what follows
// (launch, fall-back, rescue, reboot). Input: one flag byte, then the file.
//   bit 0: fix the CRCs   bit 1: boot slot 2 instead of 1
//   bit 2: the other slot was tried already   bit 3: slot 2's file exists too
#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "harness.hpp"
#include "launcher/image.hpp"
#include "launcher/extract.hpp"
#include "launcher/slot_file.hpp"

using namespace bladeboot;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::require_sandbox();
    fuzz::Input in(data, size);
    const uint8_t flags = in.byte();
    const auto body = in.rest();
    std::vector<uint8_t> file(body.begin(), body.end());
    if (flags & 1) fuzz::fix_crcs(file);

    fuzz::Board board;
    fuzz::limit_time(600'000'000);
    ::mkdir("/user/images", 0755);
    const int slot = flags & 2 ? 2 : 1;
    fuzz::write_file(slot == 1 ? SLOT1_PATH : SLOT2_PATH, file);
    if (flags & 8) fuzz::write_file(slot == 1 ? SLOT2_PATH : SLOT1_PATH, file);
    BootState state;
    state.tried_alt_image = (flags & 4) ? 1 : 0;

    // The walk on its own: whatever it claims must hold for the file.
    if (FILE* f = std::fopen(slot == 1 ? SLOT1_PATH : SLOT2_PATH, "rb")) {
        uint32_t type = 0, header_length = 0, payload_length = 0;
        uint8_t kind = 0;
        uint8_t copy[HEADER_COPY_SIZE] = {};
        if (parse_image(f, &type, &kind, &header_length, &payload_length, copy) == 1) {
            const long at = std::ftell(f);
            if (!is_bootable_type(type) || at < 0 || static_cast<size_t>(at) + HEADER_PROBE_SIZE > file.size())
                __builtin_trap();
        }
        std::fclose(f);
    }

    try {
        extract_image(state, slot);
    } catch (const fake::Exited&) {
    } catch (const fake::Execed&) {
    } catch (const fuzz::OutOfTime&) {
        __builtin_trap();  // the boot road must end without an operator
    }
    return 0;
}
