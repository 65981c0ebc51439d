#include "support.hpp"

using namespace unit;

namespace {

using Op = fake::I2cOp;
using I2c = BoardTest;

std::vector<Op> ops(const fake::Board& board, Op::Kind kind)
{
    std::vector<Op> out;
    std::copy_if(board.i2c_log.begin(), board.i2c_log.end(), std::back_inserter(out),
                 [&](const Op& op) { return op.kind == kind; });
    return out;
}

}  // namespace

TEST_F(I2c, SettingsAreOneByteEachBehindTheWriteProtection)
{
    b().eeprom.mem[256] = 3;
    b().eeprom.mem[315] = 213;
    b().expander.port = 0xF9;
    EXPECT_EQ(api_get_image(st.i2c), 3);
    EXPECT_EQ(api_get_usbboot(st.i2c), 213);
    EXPECT_EQ(ops(b(), Op::WRITE).front().bytes, (Bytes{0x01, 0x00}));

    b().i2c_log.clear();
    EXPECT_EQ(api_set_booted_image(st.i2c, 258), 3);
    EXPECT_EQ(eeprom(314), 2);
    EXPECT_EQ(ops(b(), Op::WRITE).front().bytes, (Bytes{0x01, 0x3A, 0x02}));
    EXPECT_EQ(b().expander.port, 0xF1) << "only bit 3 released";
    EXPECT_EQ(b().sleeps_us, (std::vector<uint64_t>{100000}));
    EXPECT_EQ(ops(b(), Op::SMBUS_READ).front().command, 4);
    EXPECT_EQ(ops(b(), Op::SMBUS_WRITE).front().command, 12);
}

