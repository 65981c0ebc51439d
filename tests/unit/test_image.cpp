#include <cstring>
#include <random>

#include "launcher/crc.hpp"
#include "support.hpp"

using namespace unit;

namespace {

// Spelled out field by field rather than made by the image builder, so that
// a mistake the two share cannot hide.
Bytes header(uint32_t len, uint32_t magic, const char* at16 = "", uint16_t at18 = 0, uint16_t at22 = 0)
{
    Bytes h(24, 0);
    put_be32(&h[4], len);
    put_be32(&h[8], magic);
    put_be16(&h[18], at18);
    put_be16(&h[22], at22);
    std::copy(at16, at16 + std::strlen(at16), h.begin() + 16);
    return h;
}

uint32_t bitwise_crc(const uint8_t* p, size_t n, uint32_t crc)
{
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

}  // namespace

TEST(Image, KindsSizesFaultsAndTheCrcByTheBitwiseRuleAtEveryLength)
{
    using F = HeaderFault;
    const struct { Bytes h; uint8_t kind; uint32_t header_length, total; F fault; } cases[] = {
        {header(0, IMAGE_KERNEL), HEADER_PLAIN, 16, 16, F::none},
        {header(100, IMAGE_APPLICATION, "", 40, 40), HEADER_PLAIN, 16, 116, F::none},
        {header(1000, IMAGE_APPLICATION | MAGIC_EXTENDED_BIT, "", 40), HEADER_EXTENDED, 40, 1040, F::none},
        {header(1008, IMAGE_DIAGS | MAGIC_EXTENDED_BIT, "HDR3", 0, 24), HEADER_HDR3, 24, 1024, F::none},
        {header(8, IMAGE_DFT, "3RDH", 0, 24), HEADER_PLAIN, 16, 24, F::none},
        {header(8, IMAGE_RFS | MAGIC_EXTENDED_BIT, "", 15), HEADER_EXTENDED, 15, 23, F::shorter_than_fixed},
        {header(8, IMAGE_RFS, "HDR3", 0, 25), HEADER_HDR3, 25, 24, F::beyond_len},
        {header(0xFFFFFFF0, IMAGE_KERNEL), HEADER_PLAIN, 16, 0, F::total_wraps},
        {header(0xFFFFFFF0, IMAGE_RFS, "HDR3", 0, 24), HEADER_HDR3, 24, 0, F::total_wraps},
    };
    for (const auto& c : cases) {
        const ImageGeometry g = image_geometry(c.h.data());
        SCOPED_TRACE(testing::Message() << std::hex << g.magic << " len " << get_be32(&c.h[4]));
        EXPECT_EQ(std::tuple(g.type, g.kind, g.header_length, g.total_size, header_fault(c.h.data()), g.usable),
                  std::tuple(g.magic & ~MAGIC_EXTENDED_BIT, c.kind, c.header_length, c.total, c.fault,
                             c.fault == F::none));
    }

    // The CRC: known values, and the bitwise rule at every length.
    for (auto [text, crc] : {std::pair{"123456789", 0x340BC6D9u}, {"abc", 0xCADBBE3Du}, {"", 0xFFFFFFFFu}})
        EXPECT_EQ(gen_crc(bytes(text).data(), uint32_t(bytes(text).size()), 0xFFFFFFFFu), crc) << text;
    EXPECT_EQ(swapw(0x11223344u), 0x44332211u);

    // Long buffers go through four registers over 64 KiB blocks, joined
    // afterwards; lengths on either side of one and two blocks cross paths.
    std::mt19937 rng(64);
    Bytes pool(2 * 65536 + 64);
    for (auto& x : pool) x = static_cast<uint8_t>(rng());
    for (size_t n : {0, 1, 7, 8, 15, 16, 17, 33, 4099, 65535, 65536, 65537, 65552, 131071, 131072, 131105}) {
        const uint32_t start = static_cast<uint32_t>(rng());
        ASSERT_EQ(gen_crc(&pool[n % 5], uint32_t(n), start), bitwise_crc(&pool[n % 5], n, start)) << n;
    }
}
