#include "platform/board_model.hpp"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <mtd/mtd-user.h>
#include <net/if.h>

#include <cerrno>

namespace boardmodel {
namespace {

int fail(int err)
{
    errno = err;
    return -1;
}

constexpr unsigned EEPROM_PAGE = 128;

}  // namespace

int erase_refused(uint64_t partition_size, uint32_t erase_size, uint32_t start, uint32_t length)
{
    const uint64_t end = uint64_t{start} + length;
    return erase_size == 0 || start % erase_size != 0 || length % erase_size != 0 || end > partition_size ? EINVAL : 0;
}

int program_refused(uint64_t partition_size, off_t offset, size_t count)
{
    const bool inside = offset >= 0 && static_cast<uint64_t>(offset) <= partition_size &&
                        count <= partition_size - static_cast<uint64_t>(offset);
    return inside ? 0 : ENOSPC;
}

size_t program(uint8_t* cells, const uint8_t* src, size_t count)
{
    size_t unerased = 0;
    for (size_t i = 0; i < count; ++i) {
        unerased += (src[i] & ~cells[i]) != 0;
        cells[i] &= src[i];
    }
    return unerased;
}

void nor_info(mtd_info_user& info, uint32_t size, uint32_t erase_size)
{
    info = mtd_info_user{};
    info.type = MTD_NORFLASH;
    info.flags = MTD_CAP_NORFLASH;
    info.size = size;
    info.erasesize = erase_size;
    info.writesize = 1;
}

int eth0_request(unsigned long request, ifreq* req, bool link)
{
    switch (request) {
        case SIOCGIFINDEX:
            req->ifr_ifindex = 2;
            return 0;
        case SIOCGIFFLAGS:
            req->ifr_flags = static_cast<short>(IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST);
            return 0;
        case SIOCETHTOOL: {
            auto* value = reinterpret_cast<ethtool_value*>(req->ifr_data);
            if (value->cmd != ETHTOOL_GLINK) return fail(EOPNOTSUPP);
            value->data = link ? 1 : 0;
            return 0;
        }
        default:
            return fail(EOPNOTSUPP);
    }
}

Device* Devices::at(int fd)
{
    auto it = table_.find(fd);
    return it == table_.end() ? nullptr : &it->second;
}

Device* Devices::find(int fd, DeviceKind kind, int wrong)
{
    Device* d = at(fd);
    if (d && d->kind == kind) return d;
    errno = d ? wrong : EBADF;
    return nullptr;
}

int i2c_bus(const std::string& path) { return path == "/dev/i2c-0" || path == "/dev/i2c-1" ? path.back() - '0' : -1; }

int I2cDevices::select(Device* d, int address7)
{
    if (!d) return -1;
    if (address7 < 0 || address7 > 0x7F) return fail(EINVAL);
    d->selected = address7;
    return 0;
}

ssize_t I2cDevices::write(const Device* d, const uint8_t* bytes, size_t count)
{
    return d ? write(d->bus, d->selected, bytes, count) : -1;
}

ssize_t I2cDevices::read(const Device* d, uint8_t* out, size_t count)
{
    return d ? read(d->bus, d->selected, out, count) : -1;
}

int I2cDevices::read_register(const Device* d, uint8_t reg) { return d ? read_register(d->bus, d->selected, reg) : -1; }

int I2cDevices::write_register(const Device* d, uint8_t reg, uint8_t value)
{
    return d ? write_register(d->bus, d->selected, reg, value) : -1;
}

ssize_t I2cDevices::write(int bus, int address, const uint8_t* bytes, size_t count)
{
    if (!eeprom(bus, address)) return fail(ENXIO);
    if (count < 2) return fail(EIO);
    const auto start = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
    pointer_ = start;
    if (count == 2) return 2;
    if (write_protected()) {
        ++writes_ignored;
        return static_cast<ssize_t>(count);
    }
    // A page write wraps inside its 128-byte page, as the part does.
    const unsigned page = start & ~(EEPROM_PAGE - 1);
    unsigned in_page = start & (EEPROM_PAGE - 1);
    for (size_t i = 2; i < count; ++i) {
        if (!cells_.put(static_cast<uint16_t>(page + in_page), bytes[i])) return fail(EIO);
        in_page = (in_page + 1) & (EEPROM_PAGE - 1);
    }
    pointer_ = static_cast<uint16_t>(page + in_page);
    return static_cast<ssize_t>(count);
}

ssize_t I2cDevices::read(int bus, int address, uint8_t* out, size_t count)
{
    if (!eeprom(bus, address)) return fail(ENXIO);
    for (size_t i = 0; i < count; ++i) out[i] = cells_.get(pointer_++);
    return static_cast<ssize_t>(count);
}

int I2cDevices::read_register(int bus, int address, uint8_t reg)
{
    if (!expander(bus, address)) return fail(ENXIO);
    // Register 4 reads the pins, 12 the output latch: with every pin an
    // output they agree.
    return reg == 4 || reg == 12 ? port : fail(EIO);
}

int I2cDevices::write_register(int bus, int address, uint8_t reg, uint8_t value)
{
    if (!expander(bus, address)) return fail(ENXIO);
    if (reg != 12) return fail(EIO);
    port = value;
    return 0;
}

}  // namespace boardmodel
