// i2c_smbus_read_byte_data and i2c_smbus_write_byte_data over the I2C_SMBUS
// ioctl, for targets without libi2c (Debian 12 has none for powerpc).
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include "platform/smbus.hpp"

namespace {

int smbus_access(int file, uint8_t read_write, uint8_t command, uint32_t size, i2c_smbus_data* data)
{
    i2c_smbus_ioctl_data args{};
    args.read_write = read_write;
    args.command = command;
    args.size = size;
    args.data = data;
    return ioctl(file, I2C_SMBUS, &args);
}

}  // namespace

extern "C" int32_t i2c_smbus_read_byte_data(int file, uint8_t command)
{
    i2c_smbus_data data{};
    if (smbus_access(file, I2C_SMBUS_READ, command, I2C_SMBUS_BYTE_DATA, &data) < 0) return -1;
    return data.byte;
}

extern "C" int32_t i2c_smbus_write_byte_data(int file, uint8_t command, uint8_t value)
{
    i2c_smbus_data data{};
    data.byte = value;
    return smbus_access(file, I2C_SMBUS_WRITE, command, I2C_SMBUS_BYTE_DATA, &data);
}
