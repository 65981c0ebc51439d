// Small helpers shared by the launcher modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "launcher/state.hpp"

namespace bladeboot {

// Flushes standard output first, so the console shows what the launcher
// printed before the command's own output.
int run_command(const char* command);

// Builds the command in a 256-byte buffer, cut to fit (every format here
// names fixed paths and short values), and runs it as run_command does.
__attribute__((format(printf, 1, 2))) int run_formatted(const char* format, ...);

// "Runs the shell": an interactive /bin/sh when shell_enable is set.
void run_shell_if_enabled(const BootState& state);

// The one way to reboot: a second's pause, `reboot`, exit 0.
[[noreturn]] void board_reset();

bool path_exists(const char* path);

struct Unmap {
    size_t size;
    void operator()(uint8_t* p) const;
};
using ImageBuffer = std::unique_ptr<uint8_t[], Unmap>;

// A buffer for a whole image, empty when there is no memory for it.
ImageBuffer image_buffer(uint32_t size);

// Reads one line from descriptor 0 a byte at a time (never ahead of the
// line), keeping at most size - 1 characters and the newline if it fits, like
// fgets. Returns false at end of input with nothing read.
bool read_stdin_line(char* buffer, size_t size);

}  // namespace bladeboot
