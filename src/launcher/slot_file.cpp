#include "launcher/slot_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "launcher/stdio_file.hpp"
#include "launcher/util.hpp"

namespace bladeboot {

namespace {

constexpr char IMAGES_DIR[] = "/user/images";
constexpr uint32_t SLOT_PIECE = 65536;

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
    StdioFile file(std::fopen(staging, "wbe"));
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

}  // namespace bladeboot
