// bladeboot-rx FILE: receives FILE with XMODEM-1K on standard input and
// output, for a line the caller has already put in download settings.
#include <cstdio>

#include "launcher/xmodem.hpp"

using namespace bladeboot;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argc > 0 ? argv[0] : "bladeboot-rx");
        return 2;
    }
    bool completed = false;
    xmodem_receive_stdio(argv[1], &completed);
    return completed ? 0 : 1;
}
