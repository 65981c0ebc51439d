// The least a boot can do with a slot file: read it once, check its CRC and
// let tar unpack the payload straight from memory. Runs on the board, next to
// the launcher it is compared with; prints the seconds it took.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "launcher/crc.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

extern char** environ;

namespace {

bool write_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t done = ::write(fd, p, n);
        if (done <= 0) return false;
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SLOT_FILE DIR\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();

    const int fd = ::open(argv[1], O_RDONLY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < 24) return 1;
    const auto size = static_cast<size_t>(st.st_size);
    std::unique_ptr<uint8_t[]> image(new uint8_t[size]);
    for (size_t got = 0; got < size;) {
        const ssize_t n = ::read(fd, image.get() + got, size - got);
        if (n <= 0) return 1;
        got += static_cast<size_t>(n);
    }
    ::close(fd);

    const ImageGeometry g = image_geometry(image.get());
    if (!g.usable || g.total_size > size || CheckCrc(image.get() + 4, g.total_size - 4, get_be32(image.get())) != 0) {
        std::fputs("floor: bad image\n", stderr);
        return 1;
    }

    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
    char tar[] = "tar", x[] = "mxzf", from_stdin[] = "-", to[] = "-C";
    char* tar_argv[] = {tar, x, from_stdin, to, argv[2], nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "tar", &actions, nullptr, tar_argv, environ) != 0) return 1;
    ::close(pipe_fds[0]);
    const bool fed = write_all(pipe_fds[1], image.get() + g.header_length, g.payload_length);
    ::close(pipe_fds[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!fed || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;

    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.6f\n", took.count());
    return 0;
}
