#include "launcher/boot.hpp"

#include <cstdio>

#include "launcher/boot_env.hpp"
#include "launcher/diags.hpp"
#include "launcher/extract.hpp"
#include "launcher/flash.hpp"
#include "launcher/i2c.hpp"
#include "launcher/rescue.hpp"
#include "launcher/usb_boot.hpp"
#include "launcher/util.hpp"

namespace bladeboot {

namespace {

// The stick gets the first word: a boot loader package, a replacement for a
// slot, or an application image to boot straight from it. Returns the slot to
// boot from flash, 0 when the preferred one should be taken.
int try_usb_boot(BootState& state)
{
    usb_update_boot(state);
    const int slot = usb_which_image(state);
    if (slot == 1 || slot == 2) return slot;
    if (slot != 3) return 0;
    std::printf("Booting image '%s' from USB stick.\n", "KVL7730_OS.img");
    std::fflush(stdout);
    if (extract_image(state, 3) != 0) board_reset();
    std::puts("USB Boot failed. Trying flash images.");
    return 0;
}

}  // namespace

int which_image(const BootState& state)
{
    const uint8_t preferred = api_get_image(state.i2c);
    return preferred == 1 || preferred == 2 ? preferred : 1;
}

void boot_main()
{
    BootState state;
    state.rescue_menu = run_rescue_mode;
    sig_init();
    api_i2c_init(state.i2c);
    api_flash_init(state.mtd);
    parse_uboot_env(state);
    run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    // Walk the jffs2 tree once up front so later reads of the slots do not
    // pay for the scan piecemeal.
    run_command("/usr/bin/find /user > /dev/null");

    if (state.rescue_enable) run_rescue_mode(state);
    if (state.standalone_diags) run_standalone_diags(state);

    // usb_mount consults the flag, so it must be set first.
    state.usb_boot_enabled = api_get_usbboot(state.i2c) == USB_BOOT_REQUESTED ? 1 : 0;
    if (state.usb_boot_enabled && usb_mount(state) < 0) state.usb_boot_enabled = 0;

    int slot = state.usb_boot_enabled ? try_usb_boot(state) : 0;
    if (slot == 0) slot = which_image(state);

    std::printf("Booting image '%d'\n", slot);
    // The slot's own reports go to stderr; keep them after this line.
    std::fflush(stdout);
    if (extract_image(state, slot) == 0) {
        // Derived from the slot asked for, even if extract_image switched
        // files by itself.
        const int other = slot == 1 ? 2 : 1;
        std::printf("Booting image '%d'\n", other);
        std::fflush(stdout);
        state.tried_alt_image = 1;
        extract_image(state, other);
    }
    board_reset();
}

}  // namespace bladeboot
