// Booting one slot: the slot file walked to its first bootable image, the
// image checked, its payload written out, the launch; or, when the slot
// cannot be booted, what follows.
#pragma once

#include <cstdint>
#include <cstdio>

#include "launcher/state.hpp"

namespace bladeboot {

// Slot 1 or 2, or 3 for the stick's image. 0 when the slot was not booted and
// the caller may try something else; otherwise it does not return.
int extract_image(BootState& state, int slot);

// Walks an open slot file to its first APPLICATION or DIAGS image. 1 when
// found: the file stands at the image and header_copy holds its first 16
// bytes. `type` is also set when nothing bootable is found: the type of the
// last header read, 0 when none could be read.
int parse_image(FILE* file, uint32_t* type, uint8_t* kind, uint32_t* header_length, uint32_t* payload_length,
                uint8_t* header_copy);

// Why a slot could not be booted.
enum class SlotFailure {
    not_opened,         // slots 1 and 2: neither file; slot 3: the stick's file
    declined,           // the stick's image is on the reject list and the operator said no
    tarball_failed,     // the application tarball could not be created or written
    no_bootable_image,  // no APPLICATION or DIAGS image in the file
    bad_image,          // CRC mismatch, or the image could not be read whole
};

// What follows a failed slot.
enum class Ending {
    try_elsewhere,        // extract_image returns 0
    rescue_shell_reboot,  // the rescue menu, the shell if enabled, a reboot
    shell_reboot,         // the shell if enabled, a reboot
};

// The one decision: by the failure, whether the slot is the stick's, and
// whether the other slot has been tried already.
Ending ending_for(SlotFailure failure, int slot, bool tried_alt_image);

}  // namespace bladeboot
