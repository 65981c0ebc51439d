// The sim seam's device models, checked from inside a board: this program is
// linked with the sim seam and started by test_system through
// `bladesim exec DIR -- /user/seam_probe`.
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <mtd/mtd-user.h>
#include <net/if.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/platform.hpp"

namespace {

uint8_t byte_at(int fd, off_t offset)
{
    uint8_t b = 0;
    EXPECT_EQ(plat::pread(fd, &b, 1, offset), 1);
    return b;
}

}  // namespace

TEST(Nor, GeometryAsTheDriverReportsIt)
{
    const int fd = plat::open("/dev/mtd-devicetree", O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0);
    mtd_info_user info{};
    ASSERT_EQ(plat::mtd_getinfo(fd, &info), 0);
    EXPECT_EQ(info.type, MTD_NORFLASH);
    EXPECT_EQ(info.size, 256u << 10);
    EXPECT_EQ(info.erasesize, 64u << 10);
    plat::close(fd);
}

TEST(Nor, WritesOnlyClearBitsAndEraseSetsWholeBlocks)
{
    const int fd = plat::open("/dev/mtd-devicetree", O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0);
    const off_t at = 0x10000 + 5;  // inside the second block, past the sample image
    ASSERT_EQ(byte_at(fd, at), 0xFF);
    const uint8_t first = 0x0F;
    const uint8_t second = 0xF3;
    ASSERT_EQ(plat::pwrite(fd, &first, 1, at), 1);
    EXPECT_EQ(byte_at(fd, at), 0x0F);
    ASSERT_EQ(plat::pwrite(fd, &second, 1, at), 1);
    EXPECT_EQ(byte_at(fd, at), 0x03) << "a write cannot set bits back to 1";

    const std::pair<uint32_t, uint32_t> refused[] = {
        {0x10001, 0x10000}, {0x10000, 100}, {0x30000, 0x20000}, {0x40000, 0x10000}};
    for (const auto& [start, length] : refused) {
        errno = 0;
        EXPECT_EQ(plat::mtd_erase(fd, start, length), -1) << start << "+" << length;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(byte_at(fd, at), 0x03) << "a refused erase changes nothing";

    ASSERT_EQ(plat::mtd_erase(fd, 0x10000, 0x10000), 0);
    EXPECT_EQ(byte_at(fd, at), 0xFF);
    EXPECT_NE(byte_at(fd, 8), 0xFF) << "the block before keeps the sample image";
    plat::close(fd);
}

TEST(Eeprom, WriteProtectedUntilTheExpanderReleasesIt)
{
    const int bus0 = plat::open("/dev/i2c-0", O_RDWR);
    const int bus1 = plat::open("/dev/i2c-1", O_RDWR);
    ASSERT_GE(bus0, 0);
    ASSERT_GE(bus1, 0);
    ASSERT_EQ(plat::i2c_select(bus0, 0x54), 0);
    const uint8_t offset_314[] = {0x01, 0x3A};
    const uint8_t write_314[] = {0x01, 0x3A, 0x42};
    uint8_t got = 0;

    EXPECT_EQ(plat::write(bus0, write_314, 3), 3) << "acknowledged while protected";
    ASSERT_EQ(plat::write(bus0, offset_314, 2), 2);
    ASSERT_EQ(plat::read(bus0, &got, 1), 1);
    EXPECT_EQ(got, 0) << "but the contents are kept";

    ASSERT_EQ(plat::i2c_select(bus1, 0x20), 0);
    const int port = plat::smbus_read_byte_data(bus1, 4);
    EXPECT_EQ(port, 0xFF) << "bit 3 high at power-up";
    ASSERT_EQ(plat::smbus_write_byte_data(bus1, 12, static_cast<uint8_t>(port & ~0x08)), 0);

    EXPECT_EQ(plat::write(bus0, write_314, 3), 3);
    ASSERT_EQ(plat::write(bus0, offset_314, 2), 2);
    ASSERT_EQ(plat::read(bus0, &got, 1), 1);
    EXPECT_EQ(got, 0x42);

    // Another address on bus 0 does not answer.
    ASSERT_EQ(plat::i2c_select(bus0, 0x50), 0);
    errno = 0;
    EXPECT_EQ(plat::read(bus0, &got, 1), -1);
    EXPECT_EQ(errno, ENXIO);
    plat::close(bus0);
    plat::close(bus1);
}

TEST(Eth0, UpRunningAndLinked)
{
    const int fd = plat::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    ifreq req{};
    std::strncpy(req.ifr_name, "eth0", IFNAMSIZ - 1);
    ASSERT_EQ(plat::ioctl_ifreq(fd, SIOCGIFINDEX, &req), 0);
    ASSERT_EQ(plat::ioctl_ifreq(fd, SIOCGIFFLAGS, &req), 0);
    EXPECT_EQ(req.ifr_flags & (IFF_UP | IFF_RUNNING), IFF_UP | IFF_RUNNING);
    ethtool_value value{};
    value.cmd = ETHTOOL_GLINK;
    req.ifr_data = reinterpret_cast<char*>(&value);
    ASSERT_EQ(plat::ioctl_ifreq(fd, SIOCETHTOOL, &req), 0);
    EXPECT_EQ(value.data, 1u);
    plat::close(fd);
}

TEST(Commands, LoggedBeforeTheyRun)
{
    EXPECT_EQ(plat::system("printf 'a\\\\b\\n' > /tmp/probe-out\n"), 0);
    EXPECT_EQ(plat::system("true"), 0);
}
