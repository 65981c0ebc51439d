#include "targz.hpp"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace bladesim {
namespace {

constexpr size_t BLOCK = 512;

void put_octal(uint8_t* field, size_t width, uint64_t value)
{
    // width - 1 digits and the terminating zero, as ustar wants.
    field[width - 1] = 0;
    for (size_t i = width - 1; i-- > 0; value >>= 3) field[i] = static_cast<uint8_t>('0' + (value & 7));
}

void append_header(std::vector<uint8_t>& tar, const TarEntry& entry)
{
    if (entry.path.empty() || entry.path.size() > 99) throw std::invalid_argument("tar path: " + entry.path);
    const bool dir = entry.path.back() == '/';
    uint8_t h[BLOCK] = {};
    std::memcpy(h, entry.path.data(), entry.path.size());
    put_octal(h + 100, 8, dir ? (entry.mode | 0111) : entry.mode);
    put_octal(h + 108, 8, 0);
    put_octal(h + 116, 8, 0);
    put_octal(h + 124, 12, dir ? 0 : entry.content.size());
    put_octal(h + 136, 12, 0);
    h[156] = dir ? '5' : '0';
    std::memcpy(h + 257, "ustar", 6);
    std::memcpy(h + 263, "00", 2);
    std::memcpy(h + 265, "root", 4);
    std::memcpy(h + 297, "root", 4);
    std::memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (uint8_t byte : h) sum += byte;
    put_octal(h + 148, 7, sum);  // six digits and a zero; the blank after stays
    tar.insert(tar.end(), h, h + BLOCK);
}

std::vector<uint8_t> gzip(const std::vector<uint8_t>& data)
{
    z_stream z{};
    // 15 + 16: a gzip wrapper rather than zlib's own.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
    return out;
}

}  // namespace

std::vector<uint8_t> tar_gz(const std::vector<TarEntry>& entries)
{
    std::vector<uint8_t> tar;
    for (const TarEntry& entry : entries) {
        append_header(tar, entry);
        if (entry.path.back() == '/') continue;
        tar.insert(tar.end(), entry.content.begin(), entry.content.end());
        tar.resize((tar.size() + BLOCK - 1) / BLOCK * BLOCK, 0);
    }
    tar.resize(tar.size() + 2 * BLOCK, 0);  // end-of-archive marker
    return gzip(tar);
}

}  // namespace bladesim
