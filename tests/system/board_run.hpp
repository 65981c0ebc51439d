// A board folder under the build tree and runs of bladesim on it, with keys
// fed on standard input and the console captured.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace systest {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out;  // console: standard output
    std::string err;  // console: standard error
};

class Board {
public:
    // A fresh sample board named after the test.
    Board();
    explicit Board(const std::string& name);

    const fs::path& dir() const { return dir_; }
    fs::path path(const std::string& relative) const { return dir_ / relative; }

    // bladesim ARGS... with the board folder after the command word.
    Result bladesim(const std::string& command, const std::vector<std::string>& args = {},
                    const std::string& keys = "") const;
    // A whole boot, fast.
    Result boot(const std::string& keys = "") const;

    void setenv(const std::vector<std::string>& assignments) const;
    uint8_t eeprom(size_t offset) const;
    void set_eeprom(size_t offset, uint8_t value) const;

    std::vector<std::string> commands() const;  // log/commands.log, one entry per line
    std::string platform_log() const;
    std::string outcome() const;

    std::vector<uint8_t> read(const std::string& relative) const;
    void write(const std::string& relative, const std::vector<uint8_t>& bytes) const;
    // Flips one payload byte of a slot file so its CRC fails.
    void damage_slot(int slot) const;

private:
    fs::path dir_;
};

// Starts bladesim ARGS in a session of its own; in the child, `console`
// sets up descriptors 0, 1 and 2 (false gives up).
pid_t start_bladesim(const std::vector<std::string>& args, const std::function<bool()>& console);

std::string slurp(const fs::path& path);

// The sample application's own line, as slot n prints it.
std::string app_line(int slot);

bool contains(const std::string& text, const std::string& part);

}  // namespace systest
