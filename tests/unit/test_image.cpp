#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "launcher/image.hpp"

using namespace bladeboot;

namespace {

using Header = std::array<uint8_t, HEADER_PROBE_SIZE>;

// Headers are spelled out field by field here rather than made by the image
// builder, so a shared mistake cannot hide.
Header header(uint32_t len, uint32_t magic, const char* bytes16 = nullptr, uint16_t at18 = 0, uint16_t at22 = 0)
{
    Header h{};
    put_be32(&h[0], 0xA5A5A5A5u);
    put_be32(&h[4], len);
    put_be32(&h[8], magic);
    put_be32(&h[12], 0x01020304u);
    put_be16(&h[18], at18);
    put_be16(&h[22], at22);
    // The marker spans bytes 16..19, over the extended length field.
    if (bytes16) std::memcpy(&h[16], bytes16, 4);
    return h;
}

struct KindCase {
    const char* what;
    Header h;
    uint32_t type;
    uint8_t kind;
    uint32_t header_length, payload_length, total_size;
};

struct GeometryCase {
    const char* what;
    Header h;
    bool usable;
};

}  // namespace

TEST(ImageHeader, KindsLengthsAndSizes)
{
    const KindCase cases[] = {
        {"plain, empty payload", header(0, IMAGE_KERNEL), IMAGE_KERNEL, HEADER_PLAIN, 16, 0, 16},
        // In a plain header bytes 16..23 are payload and mean nothing.
        {"plain ignores bytes 18 and 22", header(100, IMAGE_APPLICATION, nullptr, 40, 40), IMAGE_APPLICATION,
         HEADER_PLAIN, 16, 100, 116},
        {"extended, length 40", header(1000, IMAGE_APPLICATION | MAGIC_EXTENDED_BIT, nullptr, 40, 99),
         IMAGE_APPLICATION, HEADER_EXTENDED, 40, 1000, 1040},
        {"HDR3, length 24", header(1008, IMAGE_RFS, "HDR3", 0, 24), IMAGE_RFS, HEADER_HDR3, 24, 1000, 1024},
        {"HDR3 wins over bit 31", header(1008, IMAGE_DIAGS | MAGIC_EXTENDED_BIT, "HDR3", 0, 24), IMAGE_DIAGS,
         HEADER_HDR3, 24, 1000, 1024},
        {"marker read byte-reversed is no marker", header(8, IMAGE_DFT, "3RDH", 0, 24), IMAGE_DFT, HEADER_PLAIN,
         16, 8, 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t magic = 0, header_length = 0, payload_length = 0;
        uint8_t kind = 0;
        parse_header(c.h.data(), &magic, &kind, &header_length, &payload_length);
        EXPECT_EQ(magic, get_be32(&c.h[8])) << "magic must come back as stored, bit 31 included";
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(header_length, c.header_length);
        EXPECT_EQ(payload_length, c.payload_length);

        const ImageGeometry g = image_geometry(c.h.data());
        EXPECT_TRUE(g.usable);
        EXPECT_EQ(g.type, c.type);
        EXPECT_EQ(g.kind, c.kind);
        EXPECT_EQ(g.total_size, c.total_size);
    }
}

TEST(ImageHeader, UnusableGeometryIsFlaggedAndTheEdgesAreNot)
{
    // Each unusable one makes the raw rule wrap or point a payload inside the
    // fixed header; a caller trusting it would allocate or read nonsense.
    const GeometryCase cases[] = {
        {"HDR3 header length beyond len + 16", header(10, IMAGE_APPLICATION, "HDR3", 0, 40), false},
        {"HDR3 header length just beyond len + 16", header(8, IMAGE_APPLICATION, "HDR3", 0, 25), false},
        {"HDR3 header filling the whole image", header(8, IMAGE_KERNEL, "HDR3", 0, 24), true},
        {"extended total wraps past 2^32", header(0xFFFFFFF0u, IMAGE_RFS | MAGIC_EXTENDED_BIT, nullptr, 0xFFFF), false},
        {"plain len near 0xFFFFFFFF wraps", header(0xFFFFFFF0u, IMAGE_KERNEL), false},
        {"plain total of exactly 0xFFFFFFFF", header(0xFFFFFFEFu, IMAGE_KERNEL), true},
        {"HDR3 len + 16 wraps", header(0xFFFFFFF8u, IMAGE_KERNEL, "HDR3", 0, 24), false},
        {"HDR3 total of exactly 0xFFFFFFFF", header(0xFFFFFFEFu, IMAGE_KERNEL, "HDR3", 0, 24), true},
        {"extended header length 0", header(100, IMAGE_KERNEL | MAGIC_EXTENDED_BIT, nullptr, 0), false},
        {"extended header length 15", header(100, IMAGE_KERNEL | MAGIC_EXTENDED_BIT, nullptr, 15), false},
        {"extended header length 16", header(5, IMAGE_KERNEL | MAGIC_EXTENDED_BIT, nullptr, 16), true},
        {"HDR3 header length 8", header(100, IMAGE_KERNEL, "HDR3", 0, 8), false},
        {"HDR3 header length 0 and len 0", header(0, IMAGE_KERNEL, "HDR3", 0, 0), false},
    };
    for (const auto& c : cases) EXPECT_EQ(image_geometry(c.h.data()).usable, c.usable) << c.what;
}
