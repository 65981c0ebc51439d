#include "bladeimg/image_builder.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>

#include "launcher/crc.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

namespace bladeimg {

namespace {

struct TypeEntry {
    const char* name;
    uint32_t value;
};

constexpr std::array<TypeEntry, 6> TYPES{{
    {"application", IMAGE_APPLICATION},
    {"uboot", IMAGE_UBOOT},
    {"kernel", IMAGE_KERNEL},
    {"rfs", IMAGE_RFS},
    {"dft", IMAGE_DFT},
    {"diags", IMAGE_DIAGS},
}};

void put32_within(std::span<uint8_t> header, size_t at, uint32_t value)
{
    if (at + 4 <= header.size()) put_be32(&header[at], value);
}

void put16_within(std::span<uint8_t> header, size_t at, uint16_t value)
{
    if (at + 2 <= header.size()) put_be16(&header[at], value);
}

}  // namespace

uint32_t crc_update(uint32_t crc, std::span<const uint8_t> bytes)
{
    constexpr size_t MAX_PIECE = 0x40000000;
    while (!bytes.empty()) {
        const size_t piece = std::min(bytes.size(), MAX_PIECE);
        crc = gen_crc(bytes.data(), static_cast<uint32_t>(piece), crc);
        bytes = bytes.subspan(piece);
    }
    return crc;
}

std::vector<uint8_t> header_fields(const ImageSpec& plan, uint32_t payload_length)
{
    const uint32_t header_length = plan.header_length ? plan.header_length : default_header_length(plan.kind);
    std::vector<uint8_t> header(std::max<uint32_t>(header_length, 4), 0);
    uint32_t magic = plan.type & ~MAGIC_EXTENDED_BIT;
    uint32_t len = payload_length;
    switch (plan.kind) {
    case Kind::plain: break;
    case Kind::extended:
        magic |= MAGIC_EXTENDED_BIT;
        put16_within(header, 18, static_cast<uint16_t>(header_length));
        break;
    case Kind::hdr3:
        put32_within(header, 16, HDR3_MARKER);
        put16_within(header, 22, static_cast<uint16_t>(header_length));
        len = header_length - 16 + payload_length;
        break;
    }
    put32_within(header, 4, len);
    put32_within(header, 8, magic);
    put32_within(header, 12, plan.version);
    header.resize(header_length);
    return header;
}

uint32_t header_crc(std::span<const uint8_t> header)
{
    return header.size() < 4 ? 0xFFFFFFFFu : crc_update(0xFFFFFFFFu, header.subspan(4));
}

std::vector<uint8_t> make_header(const ImageSpec& plan, std::span<const uint8_t> payload)
{
    std::vector<uint8_t> header = header_fields(plan, static_cast<uint32_t>(payload.size()));
    if (header.size() >= 4) put_be32(header.data(), crc_update(header_crc(header), payload));
    return header;
}

std::vector<uint8_t> make_image(const ImageSpec& plan, std::span<const uint8_t> payload)
{
    std::vector<uint8_t> image = make_header(plan, payload);
    image.insert(image.end(), payload.begin(), payload.end());
    return image;
}

void seal_image(std::span<uint8_t> image)
{
    if (image.size() < 4) return;
    put_be32(image.data(), crc_update(0xFFFFFFFFu, image.subspan(4)));
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

const char* type_name(uint32_t type)
{
    for (const auto& t : TYPES)
        if (t.value == (type & ~MAGIC_EXTENDED_BIT)) return t.name;
    return nullptr;
}

std::optional<uint32_t> type_from_name(std::string_view name)
{
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (const auto& t : TYPES) {
        const std::string_view candidate = t.name;
        if (candidate.size() == name.size() &&
            std::equal(name.begin(), name.end(), candidate.begin(), [&](char a, char b) { return lower(a) == b; }))
            return t.value;
    }
    return std::nullopt;
}

const char* kind_name(uint8_t kind)
{
    switch (kind) {
    case HEADER_PLAIN: return "plain";
    case HEADER_EXTENDED: return "extended";
    case HEADER_HDR3: return "hdr3";
    default: return nullptr;
    }
}

}  // namespace bladeimg
