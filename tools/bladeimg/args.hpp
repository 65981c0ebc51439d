// bladeimg's command-line words: options and operands after the command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bladeimg {

// Thrown by a command whose arguments do not fit it: exit status 2.
struct UsageError {
    std::string message;
};

struct Option {
    const char* name;  // "--type" or "-o"
    bool takes_value;
};

struct Parsed {
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> operands;
    bool help = false;
    bool version = false;  // --version, where the command has no option of that name

    const std::string* get(std::string_view name) const
    {
        for (const auto& [k, v] : options)
            if (k == name) return &v;
        return nullptr;
    }
};

// The words after argv[1]; "--" ends the options, --help and -h set help, and
// --version sets version unless the command takes an option of that name.
// nullopt with error set for an option not allowed, repeated or missing its value.
std::optional<Parsed> parse_args(int argc, char** argv, const std::vector<Option>& allowed, std::string& error);

// Decimal, or hex after 0x.
std::optional<uint64_t> parse_number(std::string_view text);

}  // namespace bladeimg
