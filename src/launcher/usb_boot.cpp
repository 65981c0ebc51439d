#include "launcher/usb_boot.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "launcher/installer.hpp"
#include "launcher/stdio_file.hpp"
#include "launcher/util.hpp"
#include "launcher/yesno.hpp"
#include "platform/platform.hpp"

namespace bladeboot {

namespace {

constexpr char USB_READY_MARKER[] = "/tmp/usb";
constexpr int USB_MOUNT_WAIT_S = 10;

constexpr char USB_BOOT_PACKAGE[] = "/mnt/usb/KVL7730_Boot.img";
constexpr char REPLACE1_NAME[] = "KVL7730_replace1_OS.img";
constexpr char REPLACE2_NAME[] = "KVL7730_replace2_OS.img";
constexpr char REPLACE1_PATH[] = "/mnt/usb/KVL7730_replace1_OS.img";
constexpr char REPLACE2_PATH[] = "/mnt/usb/KVL7730_replace2_OS.img";

constexpr char MD5_SCRATCH[] = "/tmp/img_md5string";
constexpr size_t MD5_HEX_LENGTH = 32;
constexpr char REJECT_DIR[] = "/user/images/rejected";

// Command lines and paths here stay well below this; a longer one is refused
// rather than cut, since a cut command line would run something else.
constexpr size_t LINE_MAX_BYTES = 1024;

using File = StdioFile;

// Characters a shell takes literally in a word.
bool shell_safe(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("/._-+,:@%", c) != nullptr;
}

// Our own file names pass unchanged; anything else is single-quoted, with an
// embedded ' written as '\'' so the shell sees one literal word.
std::string shell_word(const char* text)
{
    bool plain = *text != '\0';
    for (const char* p = text; *p; ++p) plain = plain && shell_safe(*p);
    if (plain) return text;
    std::string quoted = "'";
    for (const char* p = text; *p; ++p) {
        if (*p == '\'')
            quoted += "'\\''";
        else
            quoted += *p;
    }
    return quoted + "'";
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Builds "/user/images/rejected/<digest>"; warns and gives false without a digest.
bool reject_marker_path(const char* path, char (&marker)[LINE_MAX_BYTES], const char* warning)
{
    char digest[MD5_HEX_LENGTH + 1];
    if (!get_md5string(path, digest)) {
        std::puts(warning);
        return false;
    }
    const int n = std::snprintf(marker, sizeof marker, "%s/%s", REJECT_DIR, digest);
    return n > 0 && static_cast<size_t>(n) < sizeof marker;
}

enum class Replacement { declined, installed, not_installed };

// One replacement package for `slot`. An operator who declines a rejected
// package stops the whole USB choice, not just this slot.
Replacement replace_slot(BootState& state, int slot, const char* path, const char* name)
{
    std::printf("USB image (file '%s') replacement for image%d found\n", name, slot);
    if (usb_is_image_rejected(path)) {
        if (!yesno_question("Replacement USB image is in rejected list.\nWould you still like to load it? "))
            return Replacement::declined;
        std::puts("Continuing with replacement USB image...");
    }
    if (!processBladeImage(state, path, 1, slot)) return Replacement::not_installed;
    std::printf("Image%d has been successfully replaced\n", slot);
    return Replacement::installed;
}

}  // namespace

int usb_mount(const BootState& state)
{
    if (!state.usb_boot_enabled) return 0;
    std::printf("Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n",
                USB_MOUNT_WAIT_S);
    std::fflush(stdout);
    plat::sleep(1);
    for (int check = 0; check < USB_MOUNT_WAIT_S; ++check) {
        if (path_exists(USB_READY_MARKER)) {
            std::puts("USB mounted and ready!");
            return 0;
        }
        std::printf(".");
        std::fflush(stdout);
        plat::sleep(1);
    }
    std::puts("USB mount timed out");
    return -1;
}

int usb_update_boot(BootState& state)
{
    if (!path_exists(USB_BOOT_PACKAGE)) {
        std::puts("No boot image found on USB.");
        return 0;
    }
    std::puts("Boot image found on USB.");
    // A boot loader already installed is skipped by the version check and
    // reports nothing written, so a stick left in place does not reboot us
    // in a loop.
    if (processBladeImage(state, USB_BOOT_PACKAGE, 1, 0)) board_reset();
    return 0;
}

int usb_which_image(BootState& state)
{
    int slot = 0;
    const struct {
        int slot;
        const char* path;
        const char* name;
    } replacements[] = {{2, REPLACE2_PATH, REPLACE2_NAME}, {1, REPLACE1_PATH, REPLACE1_NAME}};
    for (const auto& r : replacements) {
        if (!path_exists(r.path)) continue;
        switch (replace_slot(state, r.slot, r.path, r.name)) {
            case Replacement::declined:
                return 0;
            case Replacement::installed:
                slot = r.slot;
                break;
            case Replacement::not_installed:
                break;
        }
    }
    if (slot != 0) {
        std::printf("USB replacement image: board will boot with image%d.\n", slot);
        return slot;
    }
    if (path_exists(USB_IMAGE_PATH)) return 3;
    std::puts("No valid image found on USB");
    return 0;
}

int get_md5string(const char* path, char* digest)
{
    char command[LINE_MAX_BYTES];
    const std::string word = shell_word(path);
    const int n = std::snprintf(command, sizeof command, "/bin/busybox md5sum %s > %s", word.c_str(), MD5_SCRATCH);
    if (n < 0 || static_cast<size_t>(n) >= sizeof command) return 0;
    run_command(command);

    File scratch{std::fopen(MD5_SCRATCH, "re")};
    if (!scratch) return 0;
    char hex[MD5_HEX_LENGTH];
    if (std::fread(hex, 1, sizeof hex, scratch.get()) != sizeof hex) return 0;
    // The digest names a file and goes into a shell command: only a real one
    // may pass.
    for (char c : hex)
        if (!is_hex_digit(c)) return 0;
    std::memcpy(digest, hex, sizeof hex);
    digest[MD5_HEX_LENGTH] = '\0';
    return 1;
}

int usb_is_image_rejected(const char* path)
{
    char marker[LINE_MAX_BYTES];
    if (!reject_marker_path(path, marker, "Warning: Cannot determine if image is in rejected list!")) return 0;
    return path_exists(marker) ? 1 : 0;
}

void usb_add_image_to_reject_list(const char* path)
{
    char marker[LINE_MAX_BYTES];
    if (!reject_marker_path(path, marker, "Warning: Cannot add image to rejected list!")) return;
    if (path_exists(marker)) return;
    run_command("mkdir -p /user/images/rejected");
    char command[LINE_MAX_BYTES + 8];
    std::snprintf(command, sizeof command, "touch %s", marker);
    run_command(command);
}

}  // namespace bladeboot
