// USB stick boot: the wait for the stick, its boot loader and replacement
// packages, its application image, and the list of rejected images.
#pragma once

#include "launcher/state.hpp"

namespace bladeboot {

constexpr char USB_IMAGE_PATH[] = "/mnt/usb/KVL7730_OS.img";

// 0 when the stick is ready (or USB boot is off), -1 when the wait timed out.
int usb_mount(const BootState& state);
// Installs the stick's boot loader package, if any; reboots when it installed something.
int usb_update_boot(BootState& state);
// 1 or 2: that slot was just replaced from the stick; 3: boot the stick's
// image; 0: boot as usual.
int usb_which_image(BootState& state);

int usb_is_image_rejected(const char* path);
void usb_add_image_to_reject_list(const char* path);
int get_md5string(const char* path, char* digest);  // digest: at least 33 bytes

}  // namespace bladeboot
