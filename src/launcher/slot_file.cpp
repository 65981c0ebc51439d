#include "launcher/slot_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "launcher/util.hpp"

namespace bladeboot {

namespace {

constexpr char IMAGES_DIR[] = "/user/images";
constexpr uint32_t SLOT_PIECE = 65536;

}  // namespace

bool SlotWriter::open(int32_t slot, uint32_t size, bool progress)
{
    if (!path_exists(IMAGES_DIR)) ::mkdir(IMAGES_DIR, 0755);
    std::snprintf(path_, sizeof path_, "/user/images/image%d", slot);
    std::snprintf(staging_, sizeof staging_, "%s.new", path_);
    file_.reset(std::fopen(staging_, "wbe"));
    if (!file_) return false;
    staged_ = true;
    size_ = size;
    progress_ = progress;
    if (progress) std::printf("    ");
    return true;
}

bool SlotWriter::write(const uint8_t* bytes, uint32_t count)
{
    for (uint32_t i = 0; i < count;) {
        // Pieces end on the image's 64 KiB marks however the caller hands
        // the bytes over, so the percentages do not depend on it.
        const uint32_t piece = std::min(count - i, SLOT_PIECE - done_ % SLOT_PIECE);
        if (std::fwrite(bytes + i, 1, piece, file_.get()) != piece) return false;
        i += piece;
        done_ += piece;
        // 64-bit: done * 100 overflows 32 bits beyond 42 MB.
        // Flushed: on the board's console the line ends only at 100 %.
        if (progress_) std::printf("\b\b\b\b%3.3d%c", static_cast<int>(uint64_t{done_} * 100 / size_), '%');
        if (progress_) std::fflush(stdout);
    }
    return true;
}

bool SlotWriter::commit()
{
    // What stdio and the kernel still hold must be on the flash before the
    // name moves: a rename that outlives its data would be a torn slot.
    if (std::fflush(file_.get()) != 0 || ::fsync(fileno(file_.get())) != 0) return false;
    if (std::fclose(file_.release()) != 0 || std::rename(staging_, path_) != 0) return false;
    staged_ = false;
    return true;
}

SlotWriter::~SlotWriter()
{
    if (!staged_) return;
    const int error = errno;
    ::unlink(staging_);
    file_.reset();
    errno = error;
}

bool replace_slot_file(int32_t slot, const uint8_t* image, uint32_t size, bool progress)
{
    SlotWriter writer;
    return writer.open(slot, size, progress) && writer.write(image, size) && writer.commit();
}

}  // namespace bladeboot
