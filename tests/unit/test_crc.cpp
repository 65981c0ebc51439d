#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "launcher/crc.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

namespace {

// The definition, one bit at a time: what every faster form must equal.
uint32_t bitwise_crc(const uint8_t* p, size_t n, uint32_t crc)
{
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

uint32_t crc_of(const char* s)
{
    return gen_crc(reinterpret_cast<const uint8_t*>(s), static_cast<uint32_t>(std::strlen(s)), 0xFFFFFFFFu);
}

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n)
{
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

}  // namespace

TEST(GenCrc, KnownVectors)
{
    EXPECT_EQ(crc_of("123456789"), 0x340BC6D9u);
    EXPECT_EQ(crc_of("abc"), 0xCADBBE3Du);
    EXPECT_EQ(crc_of(""), 0xFFFFFFFFu);
    // Longer than one 8-byte block plus a tail: the complement of zlib's value.
    EXPECT_EQ(crc_of("The quick brown fox jumps over the lazy dog"), ~0x414FA339u);
}

TEST(GenCrc, AgreesWithBitwiseOnRandomLengthsAndAlignments)
{
    std::mt19937 rng(20261206);
    const auto pool = random_bytes(rng, 5000 + 8);
    std::uniform_int_distribution<size_t> length(0, 5000);
    for (int round = 0; round < 400; ++round) {
        const size_t offset = static_cast<size_t>(round) % 8;
        const size_t n = round < 40 ? static_cast<size_t>(round) : length(rng);
        const uint32_t start = round % 3 == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(rng());
        const uint8_t* p = pool.data() + offset;
        ASSERT_EQ(gen_crc(p, static_cast<uint32_t>(n), start), bitwise_crc(p, n, start))
            << "offset " << offset << " length " << n << " start " << start;
    }
}

TEST(GenCrc, AgreesWithBitwiseAroundTheMultiStreamBlock)
{
    // Long buffers go through four registers over 64 KiB blocks that are
    // joined afterwards; the lengths on either side of one and two blocks
    // cross from that path to the single-register one.
    std::mt19937 rng(64);
    const auto pool = random_bytes(rng, 2 * 65536 + 64);
    for (size_t n : {size_t{65535}, size_t{65536}, size_t{65537}, size_t{65536 + 15}, size_t{65536 + 16},
                     size_t{2 * 65536 - 1}, size_t{2 * 65536}, size_t{2 * 65536 + 33}}) {
        for (size_t offset : {size_t{0}, size_t{3}}) {
            const uint32_t start = static_cast<uint32_t>(rng());
            const uint8_t* p = pool.data() + offset;
            ASSERT_EQ(gen_crc(p, static_cast<uint32_t>(n), start), bitwise_crc(p, n, start))
                << "offset " << offset << " length " << n;
        }
    }
}

TEST(GenCrc, ChainsAcrossPiecesOfAnySize)
{
    // Readers that stream a file feed the register from one piece to the next.
    std::mt19937 rng(7);
    const auto data = random_bytes(rng, 4099);
    const uint32_t whole = gen_crc(data.data(), static_cast<uint32_t>(data.size()), 0xFFFFFFFFu);
    for (size_t cut : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{13}, size_t{4096}, data.size()}) {
        const uint32_t first = gen_crc(data.data(), static_cast<uint32_t>(cut), 0xFFFFFFFFu);
        EXPECT_EQ(gen_crc(data.data() + cut, static_cast<uint32_t>(data.size() - cut), first), whole) << cut;
    }
}

TEST(CheckCrc, ZeroMeansMatchAndTheCrcFieldIsNotCovered)
{
    // A plain header with len 0: the CRC covers bytes 4..15.
    std::vector<uint8_t> image(16, 0);
    put_be32(&image[8], IMAGE_KERNEL);
    put_be32(&image[12], 0x01020304);
    const uint32_t crc = gen_crc(&image[4], 12, 0xFFFFFFFFu);
    put_be32(&image[0], crc);
    EXPECT_EQ(CheckCrc(&image[4], 12, get_be32(&image[0])), 0);

    put_be32(&image[0], ~crc);
    EXPECT_EQ(gen_crc(&image[4], 12, 0xFFFFFFFFu), crc) << "the crc field itself changed the checksum";

    image[15] ^= 0x10;
    EXPECT_EQ(CheckCrc(&image[4], 12, crc), 1);
    image[15] ^= 0x10;
    EXPECT_EQ(CheckCrc(&image[4], 12, crc), 0);
}

TEST(Swapw, ReversesTheFourBytes)
{
    EXPECT_EQ(swapw(0x11223344u), 0x44332211u);
    EXPECT_EQ(swapw(0x80000001u), 0x01000080u);
    EXPECT_EQ(swapw(swapw(0xDEADBEEFu)), 0xDEADBEEFu);
}
