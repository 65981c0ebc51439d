#include "bladeimg/walk.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bladeimg/image_builder.hpp"

namespace bladeimg {

Reader::Reader(int fd, size_t buffer_size) : fd_(fd), buf_(std::max<size_t>(buffer_size, HEADER_PROBE_SIZE)) {}

bool Reader::fill()
{
    if (eof_ || error_) return false;
    if (head_ == tail_) head_ = tail_ = 0;
    if (tail_ == buf_.size()) {
        // Only peek() can get here with bytes left; keep them, at the front.
        std::memmove(buf_.data(), buf_.data() + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    for (;;) {
        const ssize_t got = ::read(fd_, buf_.data() + tail_, buf_.size() - tail_);
        if (got > 0) {
            tail_ += static_cast<size_t>(got);
            return true;
        }
        if (got == 0) {
            eof_ = true;
            return false;
        }
        if (errno != EINTR) {
            error_ = errno;
            return false;
        }
    }
}

size_t Reader::peek(size_t n)
{
    n = std::min(n, buf_.size());
    while (tail_ - head_ < n && fill()) {}
    return std::min(n, tail_ - head_);
}

uint64_t Reader::consume(uint64_t n, const std::function<void(std::span<const uint8_t>)>& sink)
{
    uint64_t done = 0;
    while (done < n) {
        if (head_ == tail_ && !fill()) break;
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(n - done, tail_ - head_));
        sink({buf_.data() + head_, piece});
        head_ += piece;
        done += piece;
    }
    offset_ += done;
    return done;
}

uint64_t Reader::skip(uint64_t n)
{
    const size_t buffered = static_cast<size_t>(std::min<uint64_t>(n, tail_ - head_));
    head_ += buffered;
    offset_ += buffered;
    uint64_t done = buffered;
    // After an unusable header the rest of a file is only counted: don't
    // read gigabytes for that.
    struct stat st {};
    off_t at = -1;
    if (done < n && !eof_ && !error_ && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) &&
        (at = ::lseek(fd_, 0, SEEK_CUR)) >= 0 && st.st_size > at) {
        const uint64_t step = std::min<uint64_t>(n - done, static_cast<uint64_t>(st.st_size - at));
        if (::lseek(fd_, static_cast<off_t>(step), SEEK_CUR) >= 0) {
            done += step;
            offset_ += step;
        }
    }
    return done + consume(n - done, [](std::span<const uint8_t>) {});
}

WalkResult walk_images(Reader& in, const std::function<void(const WalkedImage&)>& on_image)
{
    WalkResult r;
    // The same cursor as the board's: bladeimg and the launcher cannot
    // disagree on where an image ends. The reader finds the input's end.
    bladeboot::ImageCursor cursor(UINT64_MAX);
    for (;;) {
        r.offset = cursor.offset();
        const size_t have = in.peek(HEADER_PROBE_SIZE);
        if (in.error()) break;
        if (have < HEADER_PROBE_SIZE) {
            // The launcher stops here too: a tail it never looks at.
            const uint8_t* tail = in.data();
            const bool filled = have > 0 && (tail[0] == 0x1A || tail[0] == 0xFF) &&
                                std::all_of(tail, tail + have, [&](uint8_t c) { return c == tail[0]; });
            r.end = have == 0 ? WalkEnd::exact
                    : filled  ? (tail[0] == 0x1A ? WalkEnd::padding : WalkEnd::erased)
                              : WalkEnd::short_tail;
            r.trailing = in.skip(have);
            return r;
        }
        std::memcpy(r.header, in.data(), HEADER_PROBE_SIZE);
        const bladeboot::ImageCursor::Header h = cursor.look(r.header);
        r.geometry = h.geometry;
        // The launcher stops at a tail of padding or erased flash as at any
        // other header it cannot use; telling them apart is for the reader.
        const uint8_t fill = r.header[0];
        bool uniform = (fill == 0x1A || fill == 0xFF || fill == 0) &&
                       std::all_of(r.header, r.header + HEADER_PROBE_SIZE, [&](uint8_t c) { return c == fill; });
        const auto track = [&](std::span<const uint8_t> piece) {
            uniform = uniform && std::all_of(piece.begin(), piece.end(), [&](uint8_t c) { return c == fill; });
        };
        const auto tail_end = [&](WalkEnd otherwise) {
            if (in.error()) return WalkEnd::read_error;
            if (!uniform) return otherwise;
            return fill == 0x1A ? WalkEnd::padding : fill == 0xFF ? WalkEnd::erased : WalkEnd::zeros;
        };
        if (uniform && fill == 0) {
            r.trailing = in.consume(UINT64_MAX, track);
            r.end = tail_end(WalkEnd::empty);
            r.error = in.error();
            return r;
        }
        if (!h.fits) {
            // Without a believable size there is no next image to find.
            r.trailing = uniform ? in.consume(UINT64_MAX, track) : in.skip(UINT64_MAX);
            r.end = tail_end(WalkEnd::unusable);
            r.error = in.error();
            return r;
        }
        WalkedImage image{r.offset, r.geometry, get_be32(r.header + 12), get_be32(r.header), 0};
        uint32_t crc = 0xFFFFFFFFu;
        const uint64_t got = in.skip(4) + in.consume(r.geometry.total_size - 4u, [&](std::span<const uint8_t> piece) {
            track(piece);
            crc = crc_update(crc, piece);
        });
        if (in.error()) break;
        if (got < r.geometry.total_size) {
            r.trailing = got;
            r.end = tail_end(WalkEnd::cut_short);
            return r;
        }
        image.crc_computed = crc;
        ++r.images;
        cursor.step(h);
        on_image(image);
    }
    r.end = WalkEnd::read_error;
    r.error = in.error();
    return r;
}

std::string unusable_reason(const uint8_t* header)
{
    const ImageGeometry g = image_geometry(header);
    const uint64_t len = get_be32(header + 4);
    char text[128];
    const bladeboot::HeaderFault fault = bladeboot::header_fault(header);
    if (fault == bladeboot::HeaderFault::shorter_than_fixed)
        std::snprintf(text, sizeof text, "header length %u is shorter than the 16 fixed bytes", g.header_length);
    else if (fault == bladeboot::HeaderFault::beyond_len)
        std::snprintf(text, sizeof text, "header length %u exceeds len + 16 (%llu)", g.header_length,
                      static_cast<unsigned long long>(len + 16));
    else
        std::snprintf(text, sizeof text, "total size %llu does not fit in 32 bits",
                      static_cast<unsigned long long>(g.kind == HEADER_HDR3 ? len + 16 : len + g.header_length));
    return text;
}

}  // namespace bladeimg
