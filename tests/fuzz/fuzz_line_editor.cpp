// The console line editor fed any keys. Input: the buffer size (1..256),
// a flag byte (bit 0: a zero byte stands for Ctrl-C's interrupt), the keys.
#include <cstring>

#include "harness.hpp"
#include "launcher/console.hpp"

void fuzz::one_input(Input in, fake::Board& b)
{
    const size_t size = in.byte() + 1u;
    const bool zero_interrupts = in.byte() & 1;
    for (uint8_t key : in.take()) b.console.keys.push_back(zero_interrupts && key == 0 ? fake::INTERRUPT : key);
    // Exactly the caller's size on the heap, so one byte too far is caught.
    std::vector<char> buffer(size, 'Z');
    check(get_user_input(buffer.data(), static_cast<int>(size)) == buffer.data());
    const size_t length = strnlen(buffer.data(), size);
    check(length < size && !std::memchr(buffer.data(), '\r', length) && !std::memchr(buffer.data(), '\n', length));
}
