// The application slot files, /user/images/image1 and image2.
#pragma once

#include <cstdint>

namespace bladeboot {

constexpr char SLOT1_PATH[] = "/user/images/image1";
constexpr char SLOT2_PATH[] = "/user/images/image2";

// The file of slot 1 or 2.
constexpr const char* slot_path(int slot) { return slot == 1 ? SLOT1_PATH : SLOT2_PATH; }

// Replaces /user/images/image<slot> whole. The bytes go to a file beside it
// first and reach the flash before that file takes the slot's name, so a
// power cut leaves the old image or the new one, never part of one. With
// `progress` the installer's percentage follows each 64 KiB piece. False
// (errno set) when anything failed; the slot then keeps what it had.
bool replace_slot_file(int32_t slot, const uint8_t* image, uint32_t size, bool progress);

}  // namespace bladeboot
