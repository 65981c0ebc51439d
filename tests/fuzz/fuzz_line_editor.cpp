// The console line editor fed any keys. Input: the buffer size (1..256),
// a flag byte (bit 0: a zero byte stands for Ctrl-C's interrupt), the keys.
#include <cstring>
#include <memory>

#include "harness.hpp"
#include "launcher/console.hpp"

using namespace bladeboot;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    const int buffer_size = in.byte() + 1;
    const bool zero_interrupts = in.byte() & 1;
    fuzz::Board board;
    for (uint8_t key : in.rest()) board.b().console.keys.push_back(zero_interrupts && key == 0 ? fake::INTERRUPT : key);

    // Exactly the caller's size on the heap, so one byte too far is caught.
    auto buffer = std::make_unique<char[]>(static_cast<size_t>(buffer_size));
    std::memset(buffer.get(), 'Z', static_cast<size_t>(buffer_size));
    char* line = get_user_input(buffer.get(), buffer_size);
    if (line != buffer.get()) __builtin_trap();
    const size_t length = strnlen(line, static_cast<size_t>(buffer_size));
    if (length >= static_cast<size_t>(buffer_size)) __builtin_trap();  // not terminated
    if (std::memchr(line, '\r', length) || std::memchr(line, '\n', length)) __builtin_trap();
    return 0;
}
