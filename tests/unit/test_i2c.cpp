#include "support.hpp"

using namespace unit;

using I2c = BoardTest;

TEST_F(I2c, SettingsAreOneByteEachBehindTheWriteProtection)
{
    b().eeprom.mem[256] = 3;
    b().eeprom.mem[315] = 213;
    b().expander.port = 0xF9;
    EXPECT_EQ(std::tuple(api_get_image(st.i2c), api_get_usbboot(st.i2c)), std::tuple(3, 213));
    EXPECT_EQ(api_set_booted_image(st.i2c, 258), 3);
    EXPECT_EQ(std::tuple(eeprom(313), eeprom(314), eeprom(315)), std::tuple(0xFF, 2, 213)) << "one byte written";
    EXPECT_EQ(b().expander.port, 0xF1) << "only bit 3 released";
    EXPECT_EQ(b().sleeps_us, (std::vector<uint64_t>{100000}));
}
