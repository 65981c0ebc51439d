// What a host tool printed is its result: a full disk or a closed pipe on
// standard output turns success into failure, with a message.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>

inline int with_stdout_status(const char* tool, int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: standard output: %s\n", tool, std::strerror(errno ? errno : EIO));
        std::clearerr(stdout);
        if (status == 0) status = 1;
    }
    return status;
}
