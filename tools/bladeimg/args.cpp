#include "bladeimg/args.hpp"

#include <algorithm>
#include <charconv>

namespace bladeimg {

std::optional<Parsed> parse_args(int argc, char** argv, const std::vector<Option>& allowed, std::string& error)
{
    Parsed p;
    bool options_done = false;
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            p.operands.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            p.help = true;
            continue;
        }
        if (arg == "--version" && std::none_of(allowed.begin(), allowed.end(),
                                               [](const Option& o) { return o.name == std::string_view("--version"); })) {
            p.version = true;
            continue;
        }
        const size_t eq = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, eq);
        const Option* option = nullptr;
        for (const auto& o : allowed)
            if (name == o.name) option = &o;
        if (!option) {
            error = "unknown option " + std::string(name);
            return std::nullopt;
        }
        if (p.get(name)) {
            error = "option " + std::string(name) + " given twice";
            return std::nullopt;
        }
        std::string value;
        if (option->takes_value) {
            if (eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                error = "option " + std::string(name) + " needs a value";
                return std::nullopt;
            }
        } else if (eq != std::string_view::npos) {
            error = "option " + std::string(name) + " takes no value";
            return std::nullopt;
        }
        p.options.emplace_back(name, std::move(value));
    }
    return p;
}

std::optional<uint64_t> parse_number(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace bladeimg
