#include "launcher/image.hpp"

namespace bladeboot {

uint32_t get_be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint16_t get_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void put_be32(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

void put_be16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

void parse_header(const uint8_t* header, uint32_t* magic, uint8_t* kind, uint32_t* header_length,
                  uint32_t* payload_length)
{
    const uint32_t len = get_be32(header + 4);
    *magic = get_be32(header + 8);
    if (get_be32(header + 16) == HDR3_MARKER) {
        *kind = HEADER_HDR3;
        *header_length = get_be16(header + 22);
        *payload_length = len - *header_length + 16;
    } else if (*magic & MAGIC_EXTENDED_BIT) {
        *kind = HEADER_EXTENDED;
        *header_length = get_be16(header + 18);
        *payload_length = len;
    } else {
        *kind = HEADER_PLAIN;
        *header_length = 16;
        *payload_length = len;
    }
}

ImageGeometry image_geometry(const uint8_t* header)
{
    ImageGeometry g{};
    parse_header(header, &g.magic, &g.kind, &g.header_length, &g.payload_length);
    g.type = g.magic & ~MAGIC_EXTENDED_BIT;
    g.total_size = g.header_length + g.payload_length;
    g.usable = header_fault(header) == HeaderFault::none;
    return g;
}

HeaderFault header_fault(const uint8_t* header)
{
    uint32_t magic = 0, header_length = 0, payload_length = 0;
    uint8_t kind = 0;
    parse_header(header, &magic, &kind, &header_length, &payload_length);
    if (header_length < HEADER_COPY_SIZE) return HeaderFault::shorter_than_fixed;
    if (kind == HEADER_HDR3) {
        // len counts everything after the first 16 bytes, the header's rest included.
        const uint64_t total = uint64_t{get_be32(header + 4)} + 16;
        if (header_length > total) return HeaderFault::beyond_len;
        return total > UINT32_MAX ? HeaderFault::total_wraps : HeaderFault::none;
    }
    return uint64_t{header_length} + payload_length > UINT32_MAX ? HeaderFault::total_wraps : HeaderFault::none;
}

ImageCursor::Header ImageCursor::look(const uint8_t* probe) const
{
    Header h{offset_, image_geometry(probe), header_fault(probe), false};
    h.fits = h.fault == HeaderFault::none && h.geometry.total_size <= left();
    return h;
}

bool ImageCursor::step(const Header& h)
{
    if (!h.fits || h.offset != offset_) return false;
    offset_ += h.geometry.total_size;
    return true;
}

bool is_bootable_type(uint32_t type) { return type == IMAGE_APPLICATION || type == IMAGE_DIAGS; }

}  // namespace bladeboot
