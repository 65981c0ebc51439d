// The rescue menu: serial download, USB install, version display.
#include "launcher/rescue.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "launcher/console.hpp"
#include "launcher/diags.hpp"
#include "launcher/image.hpp"
#include "launcher/installed.hpp"
#include "launcher/installer.hpp"
#include "launcher/serial.hpp"
#include "launcher/util.hpp"
#include "platform/platform.hpp"

namespace bladeboot {

namespace {

constexpr char USB_DIR[] = "/mnt/usb";
constexpr char DOWNLOAD_PATH[] = "/tmp/image";
constexpr int LINE_SIZE = 128;

void list_options()
{
    std::puts("Please select one of the following options:");
    std::printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
    std::printf("\t%c) Reboot\n", 'R');
    std::printf("\t%c) Exit\n", 'E');
}

// Returns an accepted option key, upper-cased, or 0 when the console input
// has ended and no key can ever come.
int read_option()
{
    for (;;) {
        std::printf("\nOption? : ");
        std::fflush(stdout);
        int key = 0;
        const KeyRead read = read_key(&key);
        std::printf("%c\n", key);
        if (sig_quit_raised) {
            sig_quit_raised = 0;
            continue;
        }
        if (key == 0) {
            if (read == KeyRead::ended) return 0;
            continue;
        }
        const int option = std::toupper(key);
        switch (option) {
        case 'X':
        case 'U':
        case 'V':
        case 'R':
        case 'D':
        case 'E': return option;
        default: std::printf("unknown option \"%c\". Please try again\n", option);
        }
    }
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Leaving the listing always puts the working directory back, whatever
// road is taken out of it.
void leave_usb_dir(Dir& dir)
{
    if (chdir("/tmp") != 0) std::perror("/tmp");
    dir.reset();
}

// Both walks must number alike, so an entry whose status cannot be read is
// classed here once: it is listed, and the installer reports what is wrong.
bool is_listed(const dirent64* entry)
{
    struct stat64 st {};
    if (lstat64(entry->d_name, &st) != 0) return true;
    return !S_ISDIR(st.st_mode);
}

// The 64-bit walk: with 32-bit directory offsets a 32-bit process can lose
// every entry of a directory whose offsets are hashes (EOVERFLOW).
const dirent64* next_entry(Dir& dir) { return readdir64(dir.get()); }

Dir open_usb_dir()
{
    Dir dir(opendir(USB_DIR));
    if (dir && chdir(USB_DIR) != 0) {
        std::perror(USB_DIR);
        dir.reset();
    }
    return dir;
}

// "%d" without its undefined overflow: leading blanks, a sign, digits; a
// number too large saturates and so matches no entry.
bool parse_number(const char* line, long* number)
{
    char* end = nullptr;
    const long value = std::strtol(line, &end, 10);
    if (end == line) return false;
    *number = value;
    return true;
}

enum class Choice { quit, number };

Choice ask_file_number(long* number)
{
    std::array<char, LINE_SIZE> line{};
    std::printf("Choose file number to install (q to quit): ");
    std::fflush(stdout);
    for (;;) {
        const bool more = read_line(line.data(), LINE_SIZE);
        if (sig_quit_raised) return Choice::quit;
        if (line[0] == 'q' || line[0] == 'Q') return Choice::quit;
        if (parse_number(line.data(), number)) return Choice::number;
        std::printf("Invalid file number %s. Try again pleas\n", line.data());
        std::fflush(stdout);
        if (!more) return Choice::quit;
    }
}

}  // namespace

int run_rescue_mode(BootState& state)
{
    std::puts("Entering Rescue Mode.");
    for (;;) {
        list_options();
        switch (read_option()) {
        case 'X': run_xmodem_rescue(state); break;
        case 'U': run_usb_rescue(state); break;
        case 'V': run_image_display(state); break;
        case 'D': run_standalone_diags(state); break;
        case 'R':
            plat::sleep(1);
            board_reset();
        case 'E': return 1;
        case 0:
            // Only an answer file runs out; leaving as Exit does lets the
            // boot go on instead of spinning on a console that is gone.
            std::puts("Console input ended: leaving rescue mode.");
            return 1;
        }
        // An interrupt inside a handler did not stop it; it must not stop
        // the next one either.
        if (sig_quit_raised) sig_quit_raised = 0;
    }
}

int run_xmodem_rescue(BootState& state)
{
    std::puts("Running xmodem rescue.....");
    const int fd = init_serial();
    if (fd < 0) {
        // No port to switch, so no Enter can ever confirm the speed: an
        // outside receiver would only wait on a line nobody can reach.
        std::puts("Serial download not possible without the serial port.");
        return 0;
    }
    // Only what this receiver delivered whole may be installed: neither an
    // earlier download's file nor the leading images of a cut one.
    ::unlink(DOWNLOAD_PATH);
    char command[64];
    std::snprintf(command, sizeof command, "/usr/bin/rx %s", DOWNLOAD_PATH);
    const int received = run_command(command);
    reset_serial(fd);
    plat::close(fd);
    if (received != 0) ::unlink(DOWNLOAD_PATH);
    if (!path_exists(DOWNLOAD_PATH)) return 0;
    return processBladeImage(state, DOWNLOAD_PATH, 0, 0);
}

int run_usb_rescue(BootState& state)
{
    Dir dir = open_usb_dir();
    if (!dir) {
        std::puts("Unable to open USB directory. Quitting");
        return 0;
    }
    int count = 0;
    while (const dirent64* entry = next_entry(dir))
        if (is_listed(entry)) std::printf("\t%d: %s\n", ++count, entry->d_name);

    long number = 0;
    const Choice choice = ask_file_number(&number);
    leave_usb_dir(dir);
    if (choice == Choice::quit || number <= 0) return 0;

    dir = open_usb_dir();
    if (!dir) {
        std::puts("Unable to re-open USB directory. Quitting");
        return 0;
    }
    count = 0;
    while (const dirent64* entry = next_entry(dir)) {
        if (!is_listed(entry) || ++count != number) continue;
        std::printf("Installing %s\n", entry->d_name);
        // "/mnt/usb/" and the longest name a directory can yield.
        std::array<char, sizeof "/mnt/usb/" + NAME_MAX> path{};
        std::snprintf(path.data(), path.size(), "%s%c%s", USB_DIR, '/', entry->d_name);
        leave_usb_dir(dir);
        return processBladeImage(state, path.data(), 0, 0);
    }
    leave_usb_dir(dir);
    return 0;
}

int run_image_display(const BootState& state)
{
    struct Row {
        const char* label;  // padded so that the colons line up
        uint32_t type;
        int32_t slot;
    };
    constexpr Row rows[] = {
        {"Boot image  ", IMAGE_UBOOT, 0}, {"RFS image   ", IMAGE_RFS, 0},         {"Kernel image", IMAGE_KERNEL, 0},
        {"DFT image   ", IMAGE_DFT, 0},   {"OS image 1  ", IMAGE_APPLICATION, 1}, {"OS image 2  ", IMAGE_APPLICATION, 2},
    };
    std::puts("Installed images versions: ");
    std::array<uint8_t, HEADER_COPY_SIZE> header{};
    for (const Row& row : rows) {
        // A header that cannot be read must show as 0.0.0.0, not as the
        // previous row's version.
        header.fill(0);
        read_flash_image_header(state.mtd, row.type, header.data(), row.slot);
        std::printf("\t%s: %d.%d.%d.%d\n", row.label, header[12], header[13], header[14], header[15]);
    }
    return 0;
}

}  // namespace bladeboot
