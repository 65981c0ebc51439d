#include "bladeimg/image_builder.hpp"

#include <charconv>

#include "launcher/crc.hpp"
#include "launcher/image.hpp"

namespace bladeimg {

std::vector<uint8_t> make_image(const ImageSpec& spec, std::span<const uint8_t> payload)
{
    const uint32_t header_length = spec.header_length ? spec.header_length : default_header_length(spec.kind);
    std::vector<uint8_t> image(header_length + payload.size(), 0);
    const auto payload_length = static_cast<uint32_t>(payload.size());
    uint32_t magic = spec.type & ~MAGIC_EXTENDED_BIT;
    uint32_t len = payload_length;
    switch (spec.kind) {
    case Kind::plain: break;
    case Kind::extended:
        magic |= MAGIC_EXTENDED_BIT;
        put_be16(&image[18], static_cast<uint16_t>(header_length));
        break;
    case Kind::hdr3:
        put_be32(&image[16], HDR3_MARKER);
        put_be16(&image[22], static_cast<uint16_t>(header_length));
        len = header_length - 16 + payload_length;
        break;
    }
    put_be32(&image[4], len);
    put_be32(&image[8], magic);
    put_be32(&image[12], spec.version);
    std::copy(payload.begin(), payload.end(), image.begin() + header_length);
    seal_image(image);
    return image;
}

void seal_image(std::span<uint8_t> image)
{
    if (image.size() < 4) return;
    put_be32(image.data(), gen_crc(image.data() + 4, static_cast<uint32_t>(image.size() - 4), 0xFFFFFFFFu));
}

std::optional<uint32_t> parse_version(std::string_view text)
{
    uint32_t version = 0;
    for (int part = 0; part < 4; ++part) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc{} || end == text.data() || value > 255) return std::nullopt;
        version = (version << 8) | value;
        text.remove_prefix(static_cast<size_t>(end - text.data()));
        if (part < 3) {
            if (text.empty() || text.front() != '.') return std::nullopt;
            text.remove_prefix(1);
        }
    }
    if (!text.empty()) return std::nullopt;
    return version;
}

}  // namespace bladeimg
