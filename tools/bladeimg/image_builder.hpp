// Builds images the launcher accepts: header of any kind, payload, CRC-32.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace bladeimg {

enum class Kind : uint8_t { plain = 1, extended = 2, hdr3 = 3 };

struct ImageSpec {
    uint32_t type = 0;           // bit 31 clear
    uint32_t version = 0;        // the id field, a.b.c.d most significant first
    Kind kind = Kind::plain;
    uint32_t header_length = 0;  // 0: the kind's default (16, or 24)
};

constexpr uint32_t default_header_length(Kind kind) { return kind == Kind::plain ? 16 : 24; }

// The header for a payload of `payload_length` bytes, its crc field still
// zero: seal it with header_crc() continued over the payload. A field that
// would fall past a header shorter than 24 bytes is left out: the payload
// owns those bytes.
std::vector<uint8_t> header_fields(const ImageSpec& plan, uint32_t payload_length);

// The crc register after the header's own bytes (all but the crc field).
uint32_t header_crc(std::span<const uint8_t> header);

// header_fields() sealed over `payload`, so a writer can send the payload from
// where it already lies.
std::vector<uint8_t> make_header(const ImageSpec& plan, std::span<const uint8_t> payload);

// The whole image: make_header followed by the payload.
std::vector<uint8_t> make_image(const ImageSpec& plan, std::span<const uint8_t> payload);

// Recomputes the crc field of an image held whole (after a test edits it).
void seal_image(std::span<uint8_t> image);

// "A.B.C.D" with each part 0..255.
std::optional<uint32_t> parse_version(std::string_view text);

// "application", "uboot", "kernel", "rfs", "dft", "diags" for the six
// types (bit 31 ignored), nullptr for any other value.
const char* type_name(uint32_t type);

// The type value of one of those names, in any letter case.
std::optional<uint32_t> type_from_name(std::string_view name);

// "plain", "extended", "hdr3"; nullptr for another value.
const char* kind_name(uint8_t kind);

// gen_crc over any number of bytes (its own count is 32-bit).
uint32_t crc_update(uint32_t crc, std::span<const uint8_t> bytes);

}  // namespace bladeimg
