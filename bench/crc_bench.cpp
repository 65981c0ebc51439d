// gen_crc against zlib's crc32 (the same function, inverted at both ends)
// and against the bit-at-a-time definition, on buffer sizes from a page to
// a whole application image.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "launcher/crc.hpp"

using namespace bladeboot;

namespace {

std::vector<uint8_t> random_buffer(size_t size)
{
    std::vector<uint8_t> data(size);
    std::mt19937 rng(static_cast<uint32_t>(size));
    for (auto& byte : data) byte = static_cast<uint8_t>(rng());
    return data;
}

uint32_t bitwise_crc(const uint8_t* p, size_t n, uint32_t crc)
{
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

// zlib inverts the register on the way in and out; undoing both gives the
// register gen_crc returns.
uint32_t zlib_register(const uint8_t* p, size_t n, uint32_t start)
{
    return ~static_cast<uint32_t>(crc32_z(~start & 0xFFFFFFFFu, p, n));
}

template <uint32_t (*Crc)(const uint8_t*, size_t, uint32_t)>
void run(benchmark::State& state)
{
    const auto data = random_buffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(Crc(data.data(), data.size(), 0xFFFFFFFFu));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    // A benchmark of a wrong CRC would be worthless.
    if (Crc(data.data(), data.size(), 0xFFFFFFFFu) != zlib_register(data.data(), data.size(), 0xFFFFFFFFu))
        state.SkipWithError("result differs from zlib");
}

uint32_t ours(const uint8_t* p, size_t n, uint32_t start) { return gen_crc(p, static_cast<uint32_t>(n), start); }

}  // namespace

BENCHMARK(run<ours>)->Name("crc/gen_crc")->Arg(4 << 10)->Arg(64 << 10)->Arg(16 << 20);
BENCHMARK(run<zlib_register>)->Name("crc/zlib")->Arg(4 << 10)->Arg(64 << 10)->Arg(16 << 20);
BENCHMARK(run<bitwise_crc>)->Name("crc/bitwise")->Arg(4 << 10)->Arg(64 << 10)->Arg(16 << 20);

BENCHMARK_MAIN();
