// What every seam that models the board must do alike, run on the unit
// tests' fake board and inside a bladesim board. Only legal requests: the
// fake treats a program over unerased flash as the launcher's fault.
#include "contract/board_contract.hpp"

#include <fcntl.h>
#include <mtd/mtd-user.h>

#include <cerrno>

#include "platform/board_model.hpp"
#include "platform/platform.hpp"

using namespace boardmodel;

std::string board_contract()
{
    const Partition& kernel = PARTITIONS[3];
    const int mtd = plat::open(kernel.device, O_RDWR);
    mtd_info_user info{};
    if (mtd < 0 || plat::mtd_getinfo(mtd, &info) != 0) return "the kernel partition does not open";
    if (info.erasesize != ERASE_SIZE || info.size != kernel.size) return "partition geometry";
    const uint8_t cleared = 0x0F, more = 0x05;
    uint8_t got = 0;
    if (plat::mtd_erase(mtd, ERASE_SIZE, ERASE_SIZE) != 0) return "erase of a whole block";
    if (plat::pwrite(mtd, &cleared, 1, ERASE_SIZE + 7) != 1 || plat::pwrite(mtd, &more, 1, ERASE_SIZE + 7) != 1 ||
        plat::pread(mtd, &got, 1, ERASE_SIZE + 7) != 1 || got != 0x05)
        return "programming clears bits";
    if (plat::pread(mtd, &got, 1, ERASE_SIZE + 8) != 1 || got != 0xFF) return "an erased byte reads 0xFF";
    if (plat::mtd_erase(mtd, ERASE_SIZE / 2, ERASE_SIZE) == 0 || errno != EINVAL) return "an unaligned erase";
    if (plat::mtd_erase(mtd, kernel.size - ERASE_SIZE, 2 * ERASE_SIZE) == 0 || errno != EINVAL) return "an erase past the end";
    if (plat::pwrite(mtd, &cleared, 2, kernel.size - 1) >= 0 || errno != ENOSPC) return "a program past the end";
    plat::close(mtd);

    // The EEPROM takes a byte only once the expander's bit 3 is low.
    const int bus0 = plat::open("/dev/i2c-0", O_RDWR), bus1 = plat::open("/dev/i2c-1", O_RDWR);
    const uint8_t write[] = {0x01, 0x3A, 0x42}, at[] = {0x01, 0x3A};
    const auto stored = [&] {
        uint8_t byte = 0;
        return plat::write(bus0, at, 2) == 2 && plat::read(bus0, &byte, 1) == 1 ? byte : -1;
    };
    if (plat::i2c_select(bus0, EEPROM_ADDRESS) != 0 || plat::i2c_select(bus1, EXPANDER_ADDRESS) != 0) return "select";
    const int before = stored();
    if (plat::smbus_read_byte_data(bus1, 4) != 0xFF) return "the expander's power-up port";
    if (plat::write(bus0, write, 3) != 3 || stored() != before) return "a write while protected";
    if (plat::smbus_write_byte_data(bus1, 12, 0xF7) != 0 || plat::smbus_read_byte_data(bus1, 4) != 0xF7)
        return "the expander's port";
    if (plat::write(bus0, write, 3) != 3 || stored() != 0x42) return "a write once released";
    if (plat::i2c_select(bus1, 0x21) != 0 || plat::smbus_read_byte_data(bus1, 4) >= 0) return "an absent device answers";
    plat::close(bus0);
    plat::close(bus1);
    return "";
}
