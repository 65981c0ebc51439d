#include <csignal>
#include <cstdio>

#include "launcher/flash.hpp"
#include "launcher/i2c.hpp"
#include "launcher/launch.hpp"
#include "launcher/rescue.hpp"
#include "launcher/usb_boot.hpp"
#include "launcher/util.hpp"
#include "platform/platform.hpp"

namespace bladeboot {

volatile uint8_t sig_quit_raised = 0;
uint8_t usb_boot_enabled = 0;
uint8_t tried_alt_image = 0;

void sig_handler(int) { sig_quit_raised = 1; }

int sig_init()
{
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: Ctrl-C must cut a blocked console read short so the
    // prompt loops see the flag at once.
    action.sa_flags = 0;
    return sigaction(SIGINT, &action, nullptr);
}

int which_image()
{
    const uint8_t preferred = api_get_image();
    return preferred == 1 || preferred == 2 ? preferred : 1;
}

void board_reset()
{
    plat::sleep(1);
    if (run_command("reboot") < 0) std::fputs("System reboot failed, please power-cycle.\n", stderr);
    plat::exit(0);
}

namespace {

// The stick gets the first word: a boot loader package, a replacement for a
// slot, or an application image to boot straight from it. Returns the slot to
// boot from flash, 0 when the preferred one should be taken.
int try_usb_boot()
{
    usb_update_boot();
    const int slot = usb_which_image();
    if (slot == 1 || slot == 2) return slot;
    if (slot != 3) return 0;
    std::printf("Booting image '%s' from USB stick.\n", "KVL7730_OS.img");
    std::fflush(stdout);
    if (extract_image(3) != 0) board_reset();
    std::puts("USB Boot failed. Trying flash images.");
    return 0;
}

}  // namespace

void boot_main()
{
    sig_init();
    api_i2c_init();
    api_flash_init();
    parse_uboot_env();
    run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    // Walk the jffs2 tree once up front so later reads of the slots do not
    // pay for the scan piecemeal.
    run_command("/usr/bin/find /user > /dev/null");

    if (rescue_enable) run_rescue_mode();
    if (standalone_diags) run_standalone_diags();

    // usb_mount consults the flag, so it must be set first.
    usb_boot_enabled = api_get_usbboot() == USB_BOOT_REQUESTED ? 1 : 0;
    if (usb_boot_enabled && usb_mount() < 0) usb_boot_enabled = 0;

    int slot = usb_boot_enabled ? try_usb_boot() : 0;
    if (slot == 0) slot = which_image();

    std::printf("Booting image '%d'\n", slot);
    // The slot's own reports go to stderr; keep them after this line.
    std::fflush(stdout);
    if (extract_image(slot) == 0) {
        // Derived from the slot asked for, even if extract_image switched
        // files by itself.
        const int other = slot == 1 ? 2 : 1;
        std::printf("Booting image '%d'\n", other);
        std::fflush(stdout);
        tried_alt_image = 1;
        extract_image(other);
    }
    board_reset();
}

}  // namespace bladeboot
