// bladeboot-rx FILE: receives FILE with XMODEM-1K on standard input and
// output, for a line the caller has already put in download settings.
#include <cstdio>
#include <cstring>

#include "launcher/xmodem.hpp"

using namespace bladeboot;

int main(int argc, char** argv)
{
    const char* program = argc > 0 ? argv[0] : "bladeboot-rx";
    const bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
    // A name that looks like an option is a mistake, not a file to create.
    if (argc != 2 || help || argv[1][0] == '-') {
        std::fprintf(help ? stdout : stderr,
                     "usage: %s FILE\nreceive FILE with XMODEM-1K on standard input and output\n", program);
        return help ? 0 : 2;
    }
    bool completed = false;
    xmodem_receive_stdio(argv[1], &completed);
    return completed ? 0 : 1;
}
