// The two SMBus byte-data calls of libi2c. Native builds link Debian's
// libi2c; the powerpc build, for which Debian ships no libi2c, compiles
// smbus_ioctl.cpp instead.
#pragma once

#include <cstdint>

extern "C" {
int32_t i2c_smbus_read_byte_data(int file, uint8_t command);
int32_t i2c_smbus_write_byte_data(int file, uint8_t command, uint8_t value);
}
