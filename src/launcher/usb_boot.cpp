#include "launcher/usb_boot.hpp"

// Placeholders until USB boot lands: no stick is ever ready.
int usb_mount() { return -1; }
int usb_update_boot() { return 0; }
int usb_which_image() { return 0; }
int usb_is_image_rejected(const char*) { return 0; }
void usb_add_image_to_reject_list(const char*) {}
int get_md5string(const char*, char*) { return 0; }
int yesno_question(const char*) { return 0; }
