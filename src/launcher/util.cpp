#include "launcher/util.hpp"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

#include "launcher/launch.hpp"
#include "platform/platform.hpp"

namespace bladeboot {

int run_command(const char* command)
{
    std::fflush(stdout);
    return plat::system(command);
}

int run_formatted(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(stringbuff, sizeof stringbuff, format, args);
    va_end(args);
    return run_command(stringbuff);
}

void run_shell_if_enabled()
{
    if (shell_enable) run_command("/bin/sh\n");
}

bool path_exists(const char* path)
{
    struct stat st {};
    return ::stat(path, &st) == 0;
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
