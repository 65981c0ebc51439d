#include <gtest/gtest.h>

#include <cstring>

#include "launcher/crc.hpp"

TEST(GenCrc, KnownVectors)
{
    const auto crc = [](const char* s) {
        return gen_crc(reinterpret_cast<const uint8_t*>(s), static_cast<uint32_t>(std::strlen(s)), 0xFFFFFFFFu);
    };
    EXPECT_EQ(crc("123456789"), 0x340BC6D9u);
    EXPECT_EQ(crc("abc"), 0xCADBBE3Du);
    EXPECT_EQ(crc(""), 0xFFFFFFFFu);
}
