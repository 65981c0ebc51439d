// Image header, package installer and installed headers.
#pragma once

#include <cstdint>

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

// Installs a package of images. Returns 1 when the whole package was walked
// and something was installed, else 0. May not return (boot at once).
int processBladeImage(const char* path, uint8_t version_check, int32_t slot);

// Replaces /user/images/image<slot> whole. The bytes go to a file beside it
// first and reach the flash before that file takes the slot's name, so a
// power cut leaves the old image or the new one, never part of one. With
// `progress` the installer's percentage follows each piece. False (errno
// set) when anything failed; the slot then keeps what it had.
bool replace_slot_file(int32_t slot, const uint8_t* image, uint32_t size, bool progress);

// Reads the installed header of `type` into the caller's 16 bytes.
int read_flash_image_header(uint32_t type, uint8_t* header, int32_t slot);

// 1 when the image with this 16-byte header is already installed.
int verifyMatchingHeaders(const uint8_t* header, int32_t slot);
