// The cross build must really exercise the blade's byte order and word size.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "fakes/fake_platform.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

TEST(Target, ByteOrderAndWordSizeMatchTheBuild)
{
    const uint32_t word = 0x01020304;
    uint8_t bytes[4];
    std::memcpy(bytes, &word, sizeof bytes);
#ifdef BLADEBOOT_EXPECT_BIG_ENDIAN_32
    EXPECT_EQ(bytes[0], 0x01) << "cross-built tests are not running big-endian";
    EXPECT_EQ(sizeof(void*), 4u);
    EXPECT_EQ(sizeof(long), 4u);
#else
    EXPECT_EQ(bytes[0], 0x04);
#endif
}

TEST(Target, BigEndianFieldsDecodeAlikeOnEveryHost)
{
    const uint8_t field[4] = {0x81, 0x50, 0x47, 0x54};
    EXPECT_EQ(get_be32(field), 0x81504754u);
    EXPECT_EQ(get_be16(field), 0x8150u);
    uint8_t out[4] = {};
    put_be32(out, 0x01504754u);
    EXPECT_EQ(std::memcmp(out, "\x01\x50\x47\x54", 4), 0);
}

using SandboxTest = fake::BoardTest;

TEST_F(SandboxTest, TestsSeeAPrivateRootNotTheHost)
{
    EXPECT_TRUE(fake::in_sandbox());
    FILE* f = std::fopen("/user/probe", "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(std::remove("/user/probe"), 0);
}
