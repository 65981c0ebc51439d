// The application slot files, /user/images/image1 and image2.
#pragma once

#include <cstdint>

#include "launcher/stdio_file.hpp"

namespace bladeboot {

constexpr char SLOT1_PATH[] = "/user/images/image1";
constexpr char SLOT2_PATH[] = "/user/images/image2";

// The file of slot 1 or 2.
constexpr const char* slot_path(int slot) { return slot == 1 ? SLOT1_PATH : SLOT2_PATH; }

// A new image for /user/images/image<slot>. The bytes go to a file beside it
// first and reach the flash before that file takes the slot's name, so a
// power cut leaves the old image or the new one, never part of one. A writer
// dropped before commit() removes its file and the slot keeps what it had.
// Each call is false (errno set) when anything failed.
class SlotWriter {
public:
    // With `progress` the installer's percentage follows each 64 KiB piece.
    bool open(int32_t slot, uint32_t size, bool progress);
    // The image's next bytes, in order.
    bool write(const uint8_t* bytes, uint32_t count);
    bool commit();
    ~SlotWriter();

private:
    char path_[32]{};
    char staging_[40]{};
    StdioFile file_;
    uint32_t size_ = 0;
    uint32_t done_ = 0;
    bool progress_ = false;
    bool staged_ = false;  // the staging file exists and has not taken the slot's name
};

// The whole image at once.
bool replace_slot_file(int32_t slot, const uint8_t* image, uint32_t size, bool progress);

}  // namespace bladeboot
