// Console input: one raw key, one byte out, and the line editor.
#pragma once

namespace bladeboot {

// One raw key, 0..255; 0 when the read delivered no byte.
int uartGetC();
int uartPutC(int c);
// Edits one line into buffer (size bytes with the terminating zero).
char* get_user_input(char* buffer, int size);

// The same reads for prompts that ask again after a refused answer: they
// also say whether the console has ended, when no key can ever come and
// asking again would spin for ever.
enum class KeyRead { key, none, ended };
KeyRead read_key(int* key);
// false when the line was ended by the end of the console's input.
bool read_line(char* buffer, int size);

}  // namespace bladeboot
