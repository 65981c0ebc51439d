// The bladesim command line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace bladesim {

enum class Command { help, init, run, setenv, eeprom, exec, version };

struct Options {
    Command command = Command::help;
    std::string dir;
    unsigned speed = 1;
    unsigned timeout = 300;                             // seconds
    std::vector<std::string> assignments;               // setenv
    bool replace = false;                               // setenv over a bad CRC
    std::optional<uint8_t> preferred, booted, usbboot;  // eeprom
    std::vector<std::string> program;                   // exec
};

// Options, or the message for a usage error.
std::variant<Options, std::string> parse_args(const std::vector<std::string>& args);

// The three boot settings, one per line.
std::string describe_eeprom(std::span<const uint8_t> eeprom);

// Exit status: 0 application started, 3 reboot, 4 timeout, 1 anything else,
// 2 usage. exec ends with the program's own status when it simply exits.
int bladesim_main(int argc, char** argv);

}  // namespace bladesim
