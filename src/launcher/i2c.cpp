#include "launcher/i2c.hpp"

int i2c_file[2] = {0, 0};

// Placeholders until the EEPROM layer lands.
int api_i2c_init() { return -1; }
int api_i2c_close() { return 0; }
uint8_t api_get_image() { return 0; }
int api_set_image(unsigned) { return -1; }
int api_set_booted_image(unsigned) { return -1; }
uint8_t api_get_usbboot() { return 0; }
uint8_t api_eeprom_read(uint8_t* buffer, uint16_t, uint32_t) { return buffer ? buffer[0] : 0; }
int api_ubootenv_read(uint8_t*, uint16_t, uint32_t) { return 0; }
int i2c_read(int, uint8_t, uint16_t, uint32_t, int, uint8_t*) { return 0; }
uint8_t get_vpd_offset(uint16_t, uint32_t, uint8_t* buffer) { return buffer[0]; }
int set_vpd_offset(uint16_t, uint8_t) { return -1; }
