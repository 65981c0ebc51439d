#include "harness.hpp"

#include <cstdio>
#include <cstdlib>

#include "launcher/crc.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

namespace fuzz {

Board::Board() : reporter_(testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures_)
{
    fake::reset_with_partition_cap(0x10000);
    fake::clean_sandbox_dirs();
}

Board::~Board()
{
    if (failures_.size() == 0) return;
    for (int i = 0; i < failures_.size(); ++i)
        std::fprintf(stderr, "fake board: %s\n", failures_.GetTestPartResult(i).message());
    std::abort();
}

void limit_time(uint64_t limit_us)
{
    fake::board().on_time = [limit_us](uint64_t now) {
        if (now > limit_us) throw OutOfTime{};
    };
}

void require_sandbox()
{
    if (fake::in_sandbox()) return;
    std::fputs("run the fuzz targets through tests/fuzz/run (a private /tmp, /user and /mnt/usb)\n", stderr);
    std::abort();
}

void write_file(const std::string& path, std::span<const uint8_t> bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
}

void fix_crcs(std::span<uint8_t> bytes)
{
    ImageCursor cursor(bytes.size());
    while (!cursor.at_end()) {
        uint8_t* at = bytes.data() + cursor.offset();
        const ImageCursor::Header h = cursor.look(at);
        if (h.geometry.total_size < 4 || !cursor.step(h)) return;
        put_be32(at, gen_crc(at + 4, h.geometry.total_size - 4, 0xFFFFFFFFu));
    }
}

}  // namespace fuzz
