// Walks a file of images the way the launcher walks a package, reading it in
// pieces so that a file of any size costs one fixed buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "launcher/image.hpp"

using namespace bladeboot;

namespace bladeimg {

// Sequential reads through one buffer; works on pipes as well as files.
class Reader {
public:
    explicit Reader(int fd, size_t buffer_size = 256 * 1024);

    // Makes up to n (at most the buffer size) bytes available at data()
    // without consuming them; fewer only at the end of the input.
    size_t peek(size_t n);
    const uint8_t* data() const { return buf_.data() + head_; }

    // Consumes up to n bytes, handing them to `sink` piece by piece; returns
    // how many there were.
    uint64_t consume(uint64_t n, const std::function<void(std::span<const uint8_t>)>& sink);
    // consume() without looking; seeks over what a regular file holds.
    uint64_t skip(uint64_t n);

    uint64_t offset() const { return offset_; }
    int error() const { return error_; }  // errno of a failed read, else 0

private:
    bool fill();

    int fd_;
    std::vector<uint8_t> buf_;
    size_t head_ = 0, tail_ = 0;
    uint64_t offset_ = 0;
    bool eof_ = false;
    int error_ = 0;
};

struct WalkedImage {
    uint64_t offset;
    ImageGeometry geometry;
    uint32_t version;
    uint32_t crc_stored;
    uint32_t crc_computed;
    bool crc_ok() const { return crc_stored == crc_computed; }
};

enum class WalkEnd {
    exact,         // the images fill the input
    short_tail,    // fewer bytes than a header follow the last image
    cut_short,     // the input ends inside an image
    unusable,      // a header whose sizes cannot be followed
    padding,       // nothing but 0x1A follows, as XMODEM pads its last packet
    erased,        // nothing but 0xFF follows: erased flash
    zeros,         // nothing but zeros follows
    empty,         // an all-zero header: the launcher would step over it 16
                   // bytes at a time; not walked, so that zeros cost no output
    read_error,
};

struct WalkResult {
    WalkEnd end = WalkEnd::exact;
    uint64_t images = 0;
    uint64_t offset = 0;    // where the problem starts (the input's size when exact)
    uint64_t trailing = 0;  // bytes from `offset` to the end of the input
    ImageGeometry geometry{};  // of the image cut short or unusable
    uint8_t header[HEADER_PROBE_SIZE]{};  // ditto, as read
    int error = 0;          // errno for read_error
};

// Calls `on_image` for each whole image, in order, then says how the walk
// ended. Ends on every input: each step consumes at least 16 bytes.
WalkResult walk_images(Reader& in, const std::function<void(const WalkedImage&)>& on_image);

// Why image_geometry() found this header unusable, in words.
std::string unusable_reason(const uint8_t* header);

}  // namespace bladeimg
