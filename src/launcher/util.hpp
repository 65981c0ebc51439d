// Small helpers shared by the launcher modules.
#pragma once

#include <cstddef>

// Flushes standard output first, so the console shows what the launcher
// printed before the command's own output.
int run_command(const char* command);

// "Runs the shell": an interactive /bin/sh when shell_enable is set.
void run_shell_if_enabled();

bool path_exists(const char* path);

// Reads one line from descriptor 0 a byte at a time (never ahead of the
// line), keeping at most size - 1 characters and the newline if it fits, like
// fgets. Returns false at end of input with nothing read.
bool read_stdin_line(char* buffer, size_t size);
