// The image header, its geometry and the one walk over images back to back.
#pragma once

#include <cstdint>

namespace bladeboot {

constexpr uint32_t IMAGE_APPLICATION = 0x01504754;
constexpr uint32_t IMAGE_UBOOT = 0x02504754;
constexpr uint32_t IMAGE_KERNEL = 0x03504754;
constexpr uint32_t IMAGE_RFS = 0x04504754;
constexpr uint32_t IMAGE_DFT = 0x05504754;
constexpr uint32_t IMAGE_DIAGS = 0x06504754;

constexpr uint32_t MAGIC_EXTENDED_BIT = 0x80000000;
constexpr uint32_t HDR3_MARKER = 0x48445233;  // "HDR3"

constexpr uint32_t HEADER_COPY_SIZE = 16;  // crc, len, magic, id
constexpr uint32_t HEADER_PROBE_SIZE = 24;  // what a reader fetches before classifying

enum HeaderKind : uint8_t { HEADER_PLAIN = 1, HEADER_EXTENDED = 2, HEADER_HDR3 = 3 };

// Big-endian field access, independent of the host's byte order.
uint32_t get_be32(const uint8_t* p);
uint16_t get_be16(const uint8_t* p);
void put_be32(uint8_t* p, uint32_t value);
void put_be16(uint8_t* p, uint16_t value);

// Classifies any 24 header bytes; validates nothing.
void parse_header(const uint8_t* header, uint32_t* magic, uint8_t* kind, uint32_t* header_length,
                  uint32_t* payload_length);

// What parse_header yields, plus the checks the raw rule leaves out.
struct ImageGeometry {
    uint32_t magic;           // as stored, bit 31 included
    uint32_t type;            // magic with bit 31 cleared
    uint8_t kind;
    uint32_t header_length;
    uint32_t payload_length;
    uint32_t total_size;      // header_length + payload_length, mod 2^32
    // The header length covers the 16 fixed bytes and fits in the total
    // size, and the total size did not wrap: only then may a caller
    // allocate, read or checksum by these numbers.
    bool usable;
};
ImageGeometry image_geometry(const uint8_t* header);

bool is_bootable_type(uint32_t type);  // APPLICATION or DIAGS

// Why a header's sizes cannot be followed (image_geometry's `usable` is
// false exactly when this is not `none`).
enum class HeaderFault : uint8_t {
    none,
    shorter_than_fixed,  // header length below the 16 fixed bytes
    beyond_len,          // HDR3: header length past len + 16, so the payload length wraps
    total_wraps,         // header length + payload length past 32 bits
};
HeaderFault header_fault(const uint8_t* header);

// The one walk over images back to back (a slot file, a package, a file
// given to bladeimg). It does no I/O: the caller reads HEADER_PROBE_SIZE
// bytes at offset() and hands them to look(); step() moves past that image.
// Every step moves forward by at least 16 bytes and never past the input,
// so a walk ends whatever the headers claim.
class ImageCursor {
public:
    struct Header {
        uint64_t offset;  // of the image's first byte
        ImageGeometry geometry;
        HeaderFault fault;
        bool fits;  // usable, and its total size lies within the input
    };

    // input_size: the bytes to walk; UINT64_MAX when not known (a pipe), in
    // which case the reader finds the end and cut-short images itself.
    explicit ImageCursor(uint64_t input_size) : size_(input_size) {}

    uint64_t offset() const { return offset_; }
    uint64_t left() const { return size_ - offset_; }
    // Fewer bytes than a header remain: there is no further image.
    bool at_end() const { return left() < HEADER_PROBE_SIZE; }

    Header look(const uint8_t* probe) const;
    // Moves to the next image; false, staying put, when `h` cannot be followed.
    bool step(const Header& h);

private:
    uint64_t size_;
    uint64_t offset_ = 0;
};


}  // namespace bladeboot
