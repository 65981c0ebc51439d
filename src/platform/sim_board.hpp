// What bladesim's sandbox and the sim seam agree on: where the board's
// devices and logs appear inside the sandbox, and how commands are logged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace simboard {

// Inside the sandbox. The MTD partitions are the board folder's flash files
// bound at their device paths (/dev/mtd-uboot, ...).
constexpr const char* LOG_DIR = "/sim/log";
constexpr const char* COMMAND_LOG = "/sim/log/commands.log";
constexpr const char* EEPROM_FILE = "/sim/eeprom.bin";
constexpr const char* NET_LINK_FILE = "/sim/net/link";
// Present only inside a board sandbox; the seam refuses to act without it.
constexpr const char* SANDBOX_MARK = "/sim/board-sandbox";

constexpr const char* SPEED_ENV = "BLADESIM_SPEED";

// One command per line: a newline inside a command becomes \n and a
// backslash \\, so every line reads back unambiguously.
inline std::string escape_command(std::string_view command)
{
    std::string out;
    out.reserve(command.size());
    for (char c : command) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace simboard
