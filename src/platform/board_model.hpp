// The blade's devices as the hardware behaves, written once for bladesim's
// seam and the unit tests' fake board: the flash partitions, NOR flash, the
// boot settings EEPROM and the I/O expander that write-protects it.
#pragma once

#include <sys/types.h>

struct mtd_info_user;
struct ifreq;

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace boardmodel {

struct Partition {
    const char* file;    // under a bladesim board's flash/
    const char* device;  // where the launcher opens it
    uint32_t size;
};

// In flash order.
inline constexpr std::array<Partition, 6> PARTITIONS{{
    {"uboot.bin", "/dev/mtd-uboot", 512u << 10},
    {"ubootenv.bin", "/dev/mtd-ubootenv", 128u << 10},
    {"devicetree.bin", "/dev/mtd-devicetree", 256u << 10},
    {"kernel.bin", "/dev/mtd-kernel", 3u << 20},
    {"rfs.bin", "/dev/mtd-rfs", 15u << 20},
    {"rescue.bin", "/dev/mtd-rescue", 10u << 20},
}};

// NOR flash. An erase covers whole blocks inside the partition (EINVAL
// otherwise); a program stays inside it (ENOSPC) and can only clear bits.
constexpr uint32_t ERASE_SIZE = 0x10000;
int erase_refused(uint64_t partition_size, uint32_t erase_size, uint32_t start, uint32_t length);
int program_refused(uint64_t partition_size, off_t offset, size_t count);
// cells &= src; returns how many bytes asked for a bit the cell had cleared.
size_t program(uint8_t* cells, const uint8_t* src, size_t count);
// What MEMGETINFO reports for a NOR partition.
void nor_info(mtd_info_user& info, uint32_t size, uint32_t erase_size = ERASE_SIZE);

// eth0 as the management port asks it: index, flags (up and running) and
// link (ETHTOOL_GLINK); 0, or -1 with errno for what it does not answer.
int eth0_request(unsigned long request, ifreq* req, bool link);

// An AT24-style EEPROM with 16-bit offsets and 128-byte pages at 0x54 on
// bus 0; the expander at 0x20 on bus 1, register 4 reading its port and 12
// driving it, bit 3 high (as at power-up) write-protecting the EEPROM.
constexpr uint32_t EEPROM_SIZE = 0x10000;
constexpr int EEPROM_ADDRESS = 0x54;
constexpr int EXPANDER_ADDRESS = 0x20;

// What a seam's descriptor stands for.
enum class DeviceKind { MTD, I2C, SERIAL, SOCKET };
struct Device {
    DeviceKind kind;
    int bus = -1;       // I2C: the bus of the path
    int selected = -1;  // I2C: the I2C_SLAVE address on this descriptor
    std::string path = {};
};

class Devices {
public:
    void add(int fd, Device d) { table_[fd] = std::move(d); }
    bool remove(int fd) { return table_.erase(fd) != 0; }
    void clear() { table_.clear(); }
    Device* at(int fd);
    // The device behind fd if it is of that kind; otherwise nullptr, errno
    // EBADF for none and `wrong` for another kind.
    Device* find(int fd, DeviceKind kind, int wrong = ENOTTY);

private:
    std::map<int, Device> table_;
};

// The bus of an i2c-dev path; -1 for any other path.
int i2c_bus(const std::string& path);

class I2cDevices {
public:
    // Where the EEPROM keeps its bytes: memory or a file.
    struct Cells {
        virtual ~Cells() = default;
        virtual bool present() = 0;
        virtual uint8_t get(uint16_t at) = 0;
        virtual bool put(uint16_t at, uint8_t value) = 0;
    };
    explicit I2cDevices(Cells& cells) : cells_(cells) {}
    I2cDevices(const I2cDevices&) = delete;
    I2cDevices& operator=(const I2cDevices&) = delete;

    // Transfers to the device at a 7-bit address: what read(2), write(2) and
    // the SMBus calls return, errno set on -1.
    ssize_t write(int bus, int address, const uint8_t* bytes, size_t count);
    ssize_t read(int bus, int address, uint8_t* out, size_t count);
    int read_register(int bus, int address, uint8_t reg);
    int write_register(int bus, int address, uint8_t reg, uint8_t value);

    // The same on an I2C descriptor (nullptr: errno already set).
    static int select(Device* d, int address7);
    ssize_t write(const Device* d, const uint8_t* bytes, size_t count);
    ssize_t read(const Device* d, uint8_t* out, size_t count);
    int read_register(const Device* d, uint8_t reg);
    int write_register(const Device* d, uint8_t reg, uint8_t value);

    bool write_protected() const { return (port & 0x08) != 0; }

    uint8_t port = 0xFF;
    bool answers = true;     // the expander
    int writes_ignored = 0;  // acknowledged while write-protected

private:
    bool eeprom(int bus, int address) { return bus == 0 && address == EEPROM_ADDRESS && cells_.present(); }
    bool expander(int bus, int address) const { return bus == 1 && address == EXPANDER_ADDRESS && answers; }

    Cells& cells_;
    uint16_t pointer_ = 0;
};

}  // namespace boardmodel
