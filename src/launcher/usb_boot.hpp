// USB stick boot and the reject list.
#pragma once

namespace bladeboot {

int usb_mount();
int usb_update_boot();
int usb_which_image();
int usb_is_image_rejected(const char* path);
void usb_add_image_to_reject_list(const char* path);
int get_md5string(const char* path, char* digest);  // digest: at least 33 bytes
int yesno_question(const char* question);

}  // namespace bladeboot
