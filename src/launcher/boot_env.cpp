#include "launcher/boot_env.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "launcher/flash.hpp"

namespace bladeboot {

namespace {

// The block after its 4-byte checksum, which the boot loader owns and we do
// not check.
constexpr uint32_t ENV_OFFSET = 4;
constexpr uint32_t ENV_LENGTH = 1280;

// Where the value of key starts, or null when the key is not in the text.
const char* value_of(const char* text, const char* key)
{
    const char* found = std::strstr(text, key);
    return found ? found + std::strlen(key) : nullptr;
}

bool begins_with(const char* value, const char* prefix)
{
    return std::strncmp(value, prefix, std::strlen(prefix)) == 0;
}

// Sets flag from "key=on..." when the key is present.
template <typename Flag>
void on_switch(const char* text, const char* key, Flag* flag)
{
    if (const char* v = value_of(text, key)) *flag = static_cast<Flag>(begins_with(v, "on") ? 1 : 0);
}

// A decimal number like "%d" reads it; a number that does not fit an int
// leaves the port alone rather than being cut to some other port.
void read_port(const char* value, int* gdbport)
{
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(value, &end, 10);
    if (end == value || errno == ERANGE || n < INT_MIN || n > INT_MAX) return;
    *gdbport = static_cast<int>(n);
}

}  // namespace

int parse_uboot_env(BootState& state)
{
    std::array<char, ENV_LENGTH + 1> text{};
    if (api_flash_read(reinterpret_cast<uint8_t*>(text.data()), state.mtd.uboot_env_fd, ENV_OFFSET, ENV_LENGTH) != 0)
        return 0;

    // One line of text: each variable now ends in a blank.
    for (uint32_t i = 0; i < ENV_LENGTH; ++i)
        if (text[i] == '\0') text[i] = ' ';
    text[ENV_LENGTH] = '\0';
    const char* env = text.data();

    on_switch(env, "gdb=", &state.gdb_enable);
    if (const char* v = value_of(env, "gdbserver=")) {
        state.gdbserver_enable = begins_with(v, "on") ? 1 : 0;
        if (state.gdbserver_enable) state.gdb_enable = 1;
    }
    if (const char* v = value_of(env, "gdbport=")) read_port(v, &state.gdbport);
    on_switch(env, "shell=", &state.shell_enable);
    on_switch(env, "memchk=", &state.memchk_enable);
    if (const char* v = value_of(env, "diagnostics=")) {
        state.rescue_enable = begins_with(v, "rescue") ? 1 : 0;
        state.standalone_diags = begins_with(v, "diags") ? 1 : 0;
    }
    return 1;
}

}  // namespace bladeboot
