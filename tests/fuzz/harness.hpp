// What every fuzz target shares: a fresh fake board per input whose failures
// (a write over unerased flash, say) abort so that libFuzzer keeps the input.
// Each target defines fuzz::one_input; the fake itself refuses to run outside
// the sandbox (tests/fuzz/run), as it writes /tmp, /user and /mnt/usb.
#pragma once

#include <gtest/gtest-spi.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "fakes/fake_platform.hpp"
#include "launcher/crc.hpp"
#include "launcher/flash.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;  // each target is a program of its own

namespace fuzz {

using Bytes = std::vector<uint8_t>;

inline void check(bool ok)
{
    if (!ok) __builtin_trap();
}

// Reads fields off the front of the input; past the end it yields zeros.
struct Input {
    const uint8_t *at, *end;
    uint8_t byte() { return at < end ? *at++ : 0; }
    Bytes take(size_t n = SIZE_MAX)  // by default all that is left
    {
        at += n = std::min<size_t>(n, end - at);
        return Bytes(at - n, at);
    }
};

// The target's body, given its input and a fresh board.
void one_input(Input in, fake::Board& b);

inline void write_file(const std::string& path, const Bytes& bytes)
{
    if (!std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size()))
        std::abort();
}

// With fix, recomputes the CRC of every image the launcher's walk would find,
// so that mutated inputs get past the check and reach what lies behind it.
inline Bytes fixed_crcs(Bytes bytes, bool fix)
{
    for (ImageCursor cursor(bytes.size()); fix && !cursor.at_end();) {
        uint8_t* at = bytes.data() + cursor.offset();
        const ImageCursor::Header h = cursor.look(at);
        if (h.geometry.total_size < 4 || !cursor.step(h)) break;
        put_be32(at, gen_crc(at + 4, h.geometry.total_size - 4, 0xFFFFFFFFu));
    }
    return bytes;
}

// Runs a road of the launcher, which the program's exit or exec may end;
// it must end without an operator, within ten minutes of the fake clock.
inline void road(const std::function<void()>& f)
try {
    fake::board().on_time = [](uint64_t now) { check(now <= 600'000'000); };
    f();
} catch (const fake::Exited&) {
} catch (const fake::Execed&) {
}

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One erase block a partition, so that a fresh board costs little; the NOR rules stay.
    fake::reset_with_partition_cap(0x10000);
    fake::clean_sandbox_dirs();
    testing::TestPartResultArray failures;
    testing::ScopedFakeTestPartResultReporter reporter(testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS,
                                                       &failures);
    fuzz::one_input({data, data + size}, fake::board());
    for (int i = 0; i < failures.size(); ++i)
        std::fprintf(stderr, "fake board: %s\n", failures.GetTestPartResult(i).message());
    if (failures.size()) std::abort();
    return 0;
}
