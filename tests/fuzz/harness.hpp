// What every fuzz target shares: a fresh fake board per input, the fake's
// NOR and test-expectation failures turned into crashes, and the stop that
// ends a road which would otherwise wait for ever.
#pragma once

#include <gtest/gtest-spi.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fakes/fake_platform.hpp"

namespace fuzz {

// Thrown from the fake clock when an input has used up its time.
struct OutOfTime {};

// Reads fields off the front of the input; past the end it yields zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::span<const uint8_t> take(size_t n)
    {
        n = std::min(n, size_ - pos_);
        std::span<const uint8_t> out(data_ + pos_, n);
        pos_ += n;
        return out;
    }
    std::span<const uint8_t> rest() { return take(size_ - pos_); }
    bool empty() const { return pos_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// One input's board. Every partition shrinks to one erase block so that a
// fresh board costs little; the NOR rules stay as they are. A failure the
// fakes report (a write over unerased flash, say) aborts, so libFuzzer keeps
// the input.
class Board {
public:
    Board();
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;
    fake::Board& b() { return fake::board(); }

private:
    testing::TestPartResultArray failures_;
    testing::ScopedFakeTestPartResultReporter reporter_;
};

// Stops the call once the fake clock passes `limit_us` (throws OutOfTime).
void limit_time(uint64_t limit_us);

// Files go to /tmp, /user and /mnt/usb: refuse to run outside the sandbox.
void require_sandbox();

void write_file(const std::string& path, std::span<const uint8_t> bytes);

// Recomputes the CRC of every image the launcher's walk would find, so that
// mutated inputs get past the check and reach what lies behind it.
void fix_crcs(std::span<uint8_t> bytes);

}  // namespace fuzz
