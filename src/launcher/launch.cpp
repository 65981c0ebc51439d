#include "launcher/launch.hpp"

#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "launcher/console.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"
#include "launcher/slot_file.hpp"
#include "launcher/stdio_file.hpp"
#include "launcher/util.hpp"
#include "platform/platform.hpp"

namespace bladeboot {

namespace {

constexpr char APP_EXECUTABLE[] = "/tmp/home/bin/mp.elf.strip";
constexpr char DISTRO_ID[] = "/tmp/home/bin/distro-id";
constexpr char INSTALL_SCRIPT[] = "/tmp/home/bin/install.sh";
constexpr char ENV_SETUP[] = "/tmp/home/bin/env-setup";
constexpr char GDB_PATH[] = "/tmp/gdb";
constexpr char GDB_ARCHIVE[] = "/tmp/gdb.gz";
constexpr char APP_STARTER[] = "/bin/backtrace";

// Longest environment token; a longer one is split, its rest read as the
// next token.
constexpr size_t ENV_TOKEN_MAX = 511;

bool read_env_token(FILE* file, std::array<char, ENV_TOKEN_MAX + 1>& token)
{
    int c = 0;
    do {
        c = std::fgetc(file);
    } while (c != EOF && std::isspace(c));
    size_t n = 0;
    while (c != EOF && !std::isspace(c)) {
        token[n++] = static_cast<char>(c);
        if (n == ENV_TOKEN_MAX) break;
        c = std::fgetc(file);
    }
    token[n] = '\0';
    return n > 0;
}

void apply_env_setup(const char* path)
{
    StdioFile file{std::fopen(path, "re")};
    if (!file) return;
    std::array<char, ENV_TOKEN_MAX + 1> name{};
    std::array<char, ENV_TOKEN_MAX + 1> value{};
    while (read_env_token(file.get(), name)) {
        if (!read_env_token(file.get(), value)) value[0] = '\0';
        setenv(name.data(), value.data(), 1);
    }
}

void ask_about_incompatible_image(BootState& state)
{
    std::puts("WARNING: Suspected incompatible application image detected during unpacking");
    std::fputs("Would you like to enter recovery mode to download a new image? y/N: ", stdout);
    std::fflush(stdout);
    const int key = uartGetC();
    if ((key == 'y' || key == 'Y') && state.rescue_menu) state.rescue_menu(state);
}

[[noreturn]] void start_plain()
{
    // Whatever is still buffered would vanish with the process image.
    std::fflush(stdout);
    plat::exec(APP_STARTER, APP_STARTER);
    std::fputs("Failed to start Application OS.\n", stderr);
    board_reset();
}

// In the debug and memory-check modes the application is our child: its
// end is the end of the boot.
[[noreturn]] void start_application(const BootState& state)
{
    if (state.gdbserver_enable && state.memchk_enable) {
        run_formatted("LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d %s\n", state.gdbport, APP_EXECUTABLE);
        board_reset();
    }
    if (state.gdbserver_enable) {
        run_formatted("/bin/gdbserver :%d %s\n", state.gdbport, APP_EXECUTABLE);
        board_reset();
    }
    if (state.gdb_enable) {
        if (path_exists(GDB_PATH)) {
            std::puts("*** Launching under GDB ***");
            run_formatted("%s %s", GDB_PATH, APP_EXECUTABLE);
            board_reset();
        }
        std::puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
        start_plain();
    }
    if (state.memchk_enable) {
        run_formatted("LD_PRELOAD=libduma.so.0.0.0 %s\n", APP_EXECUTABLE);
        board_reset();
    }
    start_plain();
}

// Copies up to count bytes; a slot file that ends early gives what it has.
void copy_bytes(FILE* in, FILE* out, uint32_t count)
{
    std::array<uint8_t, 4096> chunk{};
    while (count > 0) {
        const size_t want = count < chunk.size() ? count : chunk.size();
        const size_t got = std::fread(chunk.data(), 1, want, in);
        if (got == 0 || std::fwrite(chunk.data(), 1, got, out) != got) return;
        count -= static_cast<uint32_t>(got);
    }
}

}  // namespace

void launch_image(BootState& state, uint8_t diags)
{
    plat::sleep(1);
    if (run_formatted("cd /tmp \ntar mxzf %s \nrm %s\n", APP_TARBALL, APP_TARBALL) < 0) {
        std::fputs("Failed to gunzip Application OS.\n", stderr);
        board_reset();
    }
    if (!path_exists(DISTRO_ID)) ask_about_incompatible_image(state);

    // The application drives the buses itself.
    api_i2c_close(state.i2c);

    if (diags) {
        std::puts("install diags image");
        run_formatted("mkdir -p /tmp/home/bin");
        run_formatted("mv /tmp/mpdiag.elf.strip %s", APP_EXECUTABLE);
    }
    if (path_exists(INSTALL_SCRIPT)) {
        std::puts("Running install script");
        run_formatted("%s", INSTALL_SCRIPT);
        apply_env_setup(ENV_SETUP);
    }
    if (state.shell_enable) {
        std::puts("Dropping into shell");
        run_formatted("/bin/sh\n");
        std::puts("Dropping out of shell");
    }
    start_application(state);
}

int extract_gdb(int slot)
{
    if (slot != 1 && slot != 2) return 0;
    const int other = slot == 1 ? 2 : 1;
    std::printf("Extracting GDB from image slot %d\n", other);

    StdioFile in{std::fopen(slot_path(other), "rbe")};
    if (!in) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", other);
        return 0;
    }
    StdioFile out{std::fopen(GDB_ARCHIVE, "wbe")};
    if (!out) {
        std::fputs("Failed to open GDB output file.\n", stderr);
        return 0;
    }

    uint8_t header[HEADER_COPY_SIZE]{};
    const bool whole_header = std::fread(header, 1, sizeof header, in.get()) == sizeof header;
    const uint32_t magic = get_be32(header + 8);
    if (!whole_header || (magic != IMAGE_APPLICATION && magic != IMAGE_DIAGS)) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", magic);
        return 0;
    }
    const uint32_t length = get_be32(header + 4);
    std::printf("Found GDB image %d of length = %u.\n", other, length);

    copy_bytes(in.get(), out.get(), length);
    in.reset();
    out.reset();
    std::puts("decompressing GDB....");
    run_formatted("gunzip %s", GDB_ARCHIVE);
    run_formatted("chmod +x %s", GDB_PATH);
    return 1;
}

}  // namespace bladeboot
