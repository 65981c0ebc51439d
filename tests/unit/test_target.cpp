// The cross build must really exercise the blade's byte order and word size
// (every header field the tests decode then goes through big-endian code).
#include <gtest/gtest.h>

#include <bit>

TEST(Target, ByteOrderAndWordSizeMatchTheBuild)
{
#ifdef BLADEBOOT_EXPECT_BIG_ENDIAN_32
    EXPECT_TRUE(std::endian::native == std::endian::big && sizeof(void*) == 4)
        << "cross-built tests are not big-endian";
#else
    EXPECT_TRUE(std::endian::native == std::endian::little);
#endif
}
