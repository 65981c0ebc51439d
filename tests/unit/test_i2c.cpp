#include <gtest/gtest.h>

#include "boot_road.hpp"
#include "launcher/i2c.hpp"

using namespace bladeboot;

using boot_road::run;
using fake::I2cOp;

namespace {

class Eeprom : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        ASSERT_EQ(api_i2c_init(), 0);
        b().i2c_log.clear();
    }
};

TEST_F(Eeprom, SettingsAreReadAsStoredWithTheOffsetHighByteFirst)
{
    b().eeprom.mem[256] = 0;
    b().eeprom.mem[315] = 213;
    EXPECT_EQ(api_get_image(), 0);
    EXPECT_EQ(api_get_usbboot(), 213);
    for (int v : {1, 2, 3, 255}) {
        b().eeprom.mem[256] = static_cast<uint8_t>(v);
        EXPECT_EQ(api_get_image(), v);
    }
    const std::vector<I2cOp> usb_read = {
        {I2cOp::SELECT, 0, 0x54, {}, -1, 0},
        {I2cOp::WRITE, 0, 0x54, {0x01, 0x3B}, -1, 2},
        {I2cOp::READ, 0, 0x54, {213}, -1, 1},
    };
    EXPECT_EQ(std::vector<I2cOp>(b().i2c_log.begin() + 3, b().i2c_log.begin() + 6), usb_read);
}

TEST_F(Eeprom, WriteReleasesProtectionThenWritesOneByteAndPauses)
{
    b().expander.port = 0xFF;
    size_t ops_before_pause = 0;
    b().on_time = [&](uint64_t) { ops_before_pause = b().i2c_log.size(); };
    EXPECT_EQ(api_set_booted_image(3), 3);
    const std::vector<I2cOp> expected = {
        {I2cOp::SELECT, 1, 0x20, {}, -1, 0},
        {I2cOp::SMBUS_READ, 1, 0x20, {0xFF}, 4, 0xFF},
        {I2cOp::SMBUS_WRITE, 1, 0x20, {0xF7}, 12, 0},
        {I2cOp::SELECT, 0, 0x54, {}, -1, 0},
        {I2cOp::WRITE, 0, 0x54, {0x01, 0x3A, 3}, -1, 3},
    };
    EXPECT_EQ(b().i2c_log, expected);
    EXPECT_EQ(b().sleeps_us, std::vector<uint64_t>{100000});
    EXPECT_EQ(ops_before_pause, expected.size()) << "the pause follows the write";
    EXPECT_EQ(b().eeprom.mem[314], 3);
    EXPECT_EQ(b().expander.port, 0xF7) << "only bit 3 changes";
}

TEST_F(Eeprom, ProtectedEepromKeepsItsContentsWhenTheExpanderDoesNotAnswer)
{
    b().expander.answers = false;
    b().eeprom.mem[256] = 1;
    api_set_image(2);
    EXPECT_EQ(b().eeprom.mem[256], 1);
    EXPECT_EQ(b().eeprom.writes_ignored, 1) << "the write is still tried";
    for (const I2cOp& op : b().i2c_log) EXPECT_NE(op.kind, I2cOp::SMBUS_WRITE) << "port not driven blind";

    b().expander.answers = true;
    api_set_image(258);
    EXPECT_EQ(b().eeprom.mem[256], 2) << "low 8 bits of 258";
}

TEST_F(Eeprom, AbsentEepromReadsZeroAndWritesFailWithMessages)
{
    b().eeprom.mem[256] = 2;
    b().eeprom.answers = false;
    auto o = run([] { return api_get_image() + api_get_usbboot(); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out,
              "I2C error - device 0xa8 writing bus 0 offset 256: 6\n"
              "I2C error - device 0xa8 writing bus 0 offset 315: 6\n");

    o = run([] { return api_set_image(1); });
    EXPECT_LT(o.result, 0);
    EXPECT_EQ(o.out, "I2C error when writing bus 0 offset 256: 6\n");
    EXPECT_EQ(b().sleeps_us, std::vector<uint64_t>{100000}) << "paused even after a failed write";

    b().bus[0].select_fails = true;
    o = run([] { return api_set_booted_image(1) < 0 && api_get_image() == 0; });
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.out, "I2C error when setting bus 0: 16\nI2C error when setting bus 0, device 0xa8: 16\n");
    EXPECT_EQ(b().sleeps_us.size(), 1u) << "no pause without a write";
}

TEST_F(Eeprom, ClosedBusesFailWithoutTouchingTheConsoleDescriptor)
{
    api_i2c_close();
    api_i2c_close();
    EXPECT_EQ(i2c_file[0], 0);
    EXPECT_EQ(i2c_file[1], 0);
    auto o = run([] { return api_get_image(); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "I2C error when setting bus 0, device 0xa8: 9\n");
}

TEST(EepromInit, StopsAtTheFirstBusThatCannotBeOpened)
{
    ASSERT_TRUE(fake::in_sandbox());
    for (int missing : {0, 1}) {
        fake::reset();
        fake::board().bus[static_cast<size_t>(missing)].present = false;
        auto o = run([] { return api_i2c_init(); });
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.out, "ERROR: driver /dev/i2c-" + std::to_string(missing) + " couldn't be opened\n");
        EXPECT_LT(i2c_file[missing], 0);
        if (missing == 0) {
            EXPECT_EQ(i2c_file[1], 0) << "bus 1 not tried";
        } else {
            EXPECT_GT(i2c_file[0], 0);
        }
    }
}

}  // namespace
