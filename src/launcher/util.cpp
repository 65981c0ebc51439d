#include "launcher/util.hpp"

#include <sys/mman.h>
#include <sys/stat.h>

#include <array>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.hpp"

namespace bladeboot {

int run_command(const char* command)
{
    std::fflush(stdout);
    return plat::system(command);
}

int run_formatted(const char* format, ...)
{
    std::array<char, 256> line{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(line.data(), line.size(), format, args);
    va_end(args);
    return run_command(line.data());
}

void run_shell_if_enabled(const BootState& state)
{
    if (state.shell_enable) run_command("/bin/sh\n");
}

void board_reset()
{
    plat::sleep(1);
    if (run_command("reboot") < 0) std::fputs("System reboot failed, please power-cycle.\n", stderr);
    plat::exit(0);
}

bool path_exists(const char* path)
{
    struct stat st {};
    return ::stat(path, &st) == 0;
}

void Unmap::operator()(uint8_t* p) const { ::munmap(p, size); }

ImageBuffer image_buffer(uint32_t size)
{
    // An image is read into its buffer from end to end: where the kernel
    // has huge pages, that is one page fault per 2 MiB instead of per 4 KiB.
    const size_t length = size > 0 ? size : 1;
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return ImageBuffer(nullptr, Unmap{0});
    ::madvise(p, length, MADV_HUGEPAGE);
    return ImageBuffer(static_cast<uint8_t*>(p), Unmap{length});
}

bool read_stdin_line(char* buffer, size_t size)
{
    if (size == 0) return false;
    size_t n = 0;
    bool got_any = false;
    while (n + 1 < size) {
        char c = 0;
        if (plat::read(0, &c, 1) != 1) break;
        got_any = true;
        buffer[n++] = c;
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return got_any;
}

}  // namespace bladeboot
