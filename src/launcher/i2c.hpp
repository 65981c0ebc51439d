// Boot settings EEPROM on I2C bus 0, its write protection on bus 1.
#pragma once

#include <cstdint>

#include "launcher/state.hpp"

namespace bladeboot {

constexpr uint16_t EEPROM_PREFERRED_SLOT = 256;
constexpr uint16_t EEPROM_BOOTED_SLOT = 314;
constexpr uint16_t EEPROM_USB_BOOT = 315;
constexpr uint8_t USB_BOOT_REQUESTED = 213;

// 0 when both buses opened, -1 at the first that did not (bus 1 then untried).
int api_i2c_init(I2cBuses& buses);
int api_i2c_close(I2cBuses& buses);

// The settings; a failed read gives 0.
uint8_t api_get_image(const I2cBuses& buses);
uint8_t api_get_usbboot(const I2cBuses& buses);
// One byte written after the write protection is released: 3 on success,
// negative on failure.
int api_set_image(const I2cBuses& buses, unsigned slot);
int api_set_booted_image(const I2cBuses& buses, unsigned slot);

// The first byte read (0 when the read fails).
uint8_t api_eeprom_read(const I2cBuses& buses, uint8_t* buffer, uint16_t offset, uint32_t length);
int api_ubootenv_read(const I2cBuses& buses, uint8_t* buffer, uint16_t offset, uint32_t length);

}  // namespace bladeboot
