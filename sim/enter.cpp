// The first program of a board's sandbox. bladesim and bwrap ignore Ctrl-C
// and Ctrl-\ so that only the board reacts to them; the board's programs get
// the default actions back here, then this process becomes the program.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: bladesim-enter PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGQUIT, SIG_DFL);
    ::execvp(argv[1], argv + 1);
    std::fprintf(stderr, "bladesim: cannot run %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
