#include "launcher/i2c.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.hpp"

namespace bladeboot {

namespace {

constexpr int EEPROM_BUS = 0;
constexpr uint8_t EEPROM_ADDRESS = 0xa8;  // 8-bit form, as the messages show it
constexpr int EXPANDER_BUS = 1;
constexpr int EXPANDER_ADDRESS = 0x20;
constexpr uint8_t EXPANDER_PORT_IN = 4;
constexpr uint8_t EXPANDER_PORT_OUT = 12;
constexpr uint8_t WRITE_PROTECT_BIT = 0x08;
constexpr unsigned long EEPROM_WRITE_CYCLE_US = 100000;

// Descriptor 0 is our console, and 0 is also what an unopened bus holds:
// never let a transfer for a closed bus reach the console.
int bus_fd(const I2cBuses& buses, int bus)
{
    if (bus < 0 || bus > 1) return -1;
    const int fd = buses.i2c_file[bus];
    return fd > 0 ? fd : -1;
}

// The EEPROM powers up write-protected by the expander's port bit 3.
void release_write_protect(const I2cBuses& buses)
{
    const int fd = bus_fd(buses, EXPANDER_BUS);
    plat::i2c_select(fd, EXPANDER_ADDRESS);
    const int port = plat::smbus_read_byte_data(fd, EXPANDER_PORT_IN);
    // Without the port's current value we would drive the other port bits
    // blind; leave the expander alone and let the write be tried anyway.
    if (port < 0) return;
    plat::smbus_write_byte_data(fd, EXPANDER_PORT_OUT, static_cast<uint8_t>(port & ~WRITE_PROTECT_BIT));
}

int i2c_read(const I2cBuses& buses, int bus, uint8_t address, uint16_t offset, uint32_t length, int offset_width,
             uint8_t* buffer)
{
    uint8_t offset_bytes[2];
    size_t offset_count = 0;
    if (offset_width == 2) offset_bytes[offset_count++] = static_cast<uint8_t>(offset >> 8);
    offset_bytes[offset_count++] = static_cast<uint8_t>(offset);

    const int fd = bus_fd(buses, bus);
    if (plat::i2c_select(fd, address >> 1) < 0) {
        std::printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, address, errno);
        return 0;
    }
    if (plat::write(fd, offset_bytes, offset_count) != static_cast<ssize_t>(offset_count)) {
        std::printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", address, bus, offset, errno);
        return 0;
    }
    if (plat::read(fd, buffer, length) != static_cast<ssize_t>(length)) {
        std::printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", address, offset, static_cast<int>(length), errno);
        return 0;
    }
    return 1;
}

uint8_t get_vpd_offset(const I2cBuses& buses, uint16_t offset, uint32_t length, uint8_t* buffer)
{
    i2c_read(buses, EEPROM_BUS, EEPROM_ADDRESS, offset, length, 2, buffer);
    return buffer[0];
}

int set_vpd_offset(const I2cBuses& buses, uint16_t offset, uint8_t value)
{
    release_write_protect(buses);

    const int fd = bus_fd(buses, EEPROM_BUS);
    const int selected = plat::i2c_select(fd, EEPROM_ADDRESS >> 1);
    if (selected < 0) {
        std::printf("I2C error when setting bus %d: %d\n", EEPROM_BUS, errno);
        return selected;
    }
    const uint8_t bytes[3] = {static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), value};
    const ssize_t written = plat::write(fd, bytes, sizeof bytes);
    const int write_errno = errno;
    // The EEPROM ignores the bus during its internal write cycle.
    plat::usleep(EEPROM_WRITE_CYCLE_US);
    if (written != static_cast<ssize_t>(sizeof bytes)) {
        std::printf("I2C error when writing bus %d offset %d: %d\n", EEPROM_BUS, offset, write_errno);
        return written < 0 ? static_cast<int>(written) : -1;
    }
    return static_cast<int>(written);
}

uint8_t read_setting(const I2cBuses& buses, uint16_t offset)
{
    uint8_t value = 0;
    return get_vpd_offset(buses, offset, 1, &value);
}

}  // namespace

int api_i2c_init(I2cBuses& buses)
{
    for (int bus = 0; bus < 2; ++bus) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        buses.i2c_file[bus] = plat::open(path, O_RDWR | O_CLOEXEC);
        if (buses.i2c_file[bus] < 0) {
            std::printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
    }
    return 0;
}

int api_i2c_close(I2cBuses& buses)
{
    for (int& fd : buses.i2c_file) {
        if (fd > 0) {
            plat::close(fd);
            fd = 0;
        }
    }
    return 0;
}

uint8_t api_get_image(const I2cBuses& buses) { return read_setting(buses, EEPROM_PREFERRED_SLOT); }

int api_set_image(const I2cBuses& buses, unsigned slot)
{
    return set_vpd_offset(buses, EEPROM_PREFERRED_SLOT, static_cast<uint8_t>(slot));
}

int api_set_booted_image(const I2cBuses& buses, unsigned slot)
{
    return set_vpd_offset(buses, EEPROM_BOOTED_SLOT, static_cast<uint8_t>(slot));
}

uint8_t api_get_usbboot(const I2cBuses& buses) { return read_setting(buses, EEPROM_USB_BOOT); }

uint8_t api_eeprom_read(const I2cBuses& buses, uint8_t* buffer, uint16_t offset, uint32_t length)
{
    if (!buffer) return 0;
    return get_vpd_offset(buses, offset, length, buffer);
}

// Declared for the boot loader environment, which is read from flash
// instead; it only touches the bus and moves no data.
int api_ubootenv_read(const I2cBuses& buses, uint8_t* buffer, uint16_t, uint32_t)
{
    const int fd = bus_fd(buses, EEPROM_BUS);
    plat::i2c_select(fd, 0);
    plat::write(fd, buffer, 0);
    return 0;
}

}  // namespace bladeboot
