// Boot settings EEPROM on I2C bus 0, write protection on bus 1.
#pragma once

#include <cstdint>

namespace bladeboot {

extern int i2c_file[2];

constexpr uint16_t EEPROM_PREFERRED_SLOT = 256;
constexpr uint16_t EEPROM_BOOTED_SLOT = 314;
constexpr uint16_t EEPROM_USB_BOOT = 315;
constexpr uint8_t USB_BOOT_REQUESTED = 213;

int api_i2c_init();
int api_i2c_close();
uint8_t api_get_image();
int api_set_image(unsigned slot);
int api_set_booted_image(unsigned slot);
uint8_t api_get_usbboot();
uint8_t api_eeprom_read(uint8_t* buffer, uint16_t offset, uint32_t length);
int api_ubootenv_read(uint8_t* buffer, uint16_t offset, uint32_t length);

int i2c_read(int bus, uint8_t address, uint16_t offset, uint32_t length, int offset_width, uint8_t* buffer);
uint8_t get_vpd_offset(uint16_t offset, uint32_t length, uint8_t* buffer);
int set_vpd_offset(uint16_t offset, uint8_t value);

}  // namespace bladeboot
