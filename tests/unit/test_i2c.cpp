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

TEST_F(I2c, FailuresReadAsZeroAndWritesStillPause)
{
    const struct {
        std::function<void(fake::Board&)> fault;
        const char* get_out;
        const char* set_out;
        size_t pauses;
    } cases[] = {
        {[](auto& b) { b.eeprom.answers = false; }, "I2C error - device 0xa8 writing bus 0 offset 256: 6\n",
         "I2C error when writing bus 0 offset 256: 6\n", 1},
        {[](auto& b) { b.bus[0].select_fails = true; }, "I2C error when setting bus 0, device 0xa8: 16\n",
         "I2C error when setting bus 0: 16\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.set_out);
        SetUp();
        c.fault(b());
        b().eeprom.mem[256] = 2;
        const Outcome got = run([&] { return api_get_image(st.i2c); });
        EXPECT_EQ(got.result, 0);
        EXPECT_EQ(got.out, c.get_out);
        const Outcome set = run([&] { return api_set_image(st.i2c, 1); });
        EXPECT_LT(set.result, 0);
        EXPECT_EQ(set.out, c.set_out);
        EXPECT_EQ(b().sleeps_us.size(), c.pauses);
    }
    // Without the expander's port the protection stays, but the write is tried.
    SetUp();
    b().expander.answers = false;
    EXPECT_EQ(api_set_image(st.i2c, 1), 3);
    EXPECT_EQ(b().expander.writes_ignored, 1);
    EXPECT_TRUE(ops(b(), Op::SMBUS_WRITE).empty());
}

