// The cross build must really exercise the blade's byte order and word size.
#include <cstring>

#include "support.hpp"

TEST(Target, ByteOrderAndWordSizeMatchTheBuildAndFieldsDecodeAlike)
{
    const uint32_t word = 0x01020304;
    uint8_t raw[4], out[4] = {};
    std::memcpy(raw, &word, sizeof raw);
#ifdef BLADEBOOT_EXPECT_BIG_ENDIAN_32
    EXPECT_EQ(raw[0], 0x01) << "cross-built tests are not running big-endian";
    EXPECT_EQ(sizeof(void*), 4u);
    EXPECT_EQ(sizeof(long), 4u);
#else
    EXPECT_EQ(raw[0], 0x04);
#endif
    const uint8_t field[4] = {0x81, 0x50, 0x47, 0x54};
    EXPECT_EQ(get_be32(field), 0x81504754u);
    EXPECT_EQ(get_be16(field), 0x8150u);
    put_be32(out, 0x01504754u);
    EXPECT_EQ(std::memcmp(out, "\x01\x50\x47\x54", 4), 0);
}
