// The console line editor fed any keys. Input: the buffer size (1..256),
// a flag byte (bit 0: a zero byte stands for Ctrl-C's interrupt), the keys.
#include <cstring>
#include <memory>

#include "harness.hpp"
#include "launcher/console.hpp"

void fuzz::one_input(Input in, fake::Board& b)
{
    const size_t size = in.byte() + 1u;
    const bool zero_interrupts = in.byte() & 1;
    for (uint8_t key : in.take()) b.console.keys.push_back(zero_interrupts && key == 0 ? fake::INTERRUPT : key);
    // Exactly the caller's size on the heap, so one byte too far is caught.
    auto buffer = std::make_unique<char[]>(size);
    std::memset(buffer.get(), 'Z', size);
    check(bladeboot::get_user_input(buffer.get(), static_cast<int>(size)) == buffer.get());
    const size_t length = strnlen(buffer.get(), size);
    check(length < size && !std::memchr(buffer.get(), '\r', length) && !std::memchr(buffer.get(), '\n', length));
}
