// A sample board folder under the build tree, and runs of bladesim on it with
// keys fed on standard input and the console captured.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace systest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Result {
    int status = -1;
    std::string out, err;  // the console's standard output and standard error
};

struct Board {
    explicit Board(const std::string& name = "");  // a fresh sample board, by default named after the test
    fs::path dir;
    fs::path path(const std::string& relative) const { return dir / relative; }

    // bladesim COMMAND DIR ARGS...
    Result bladesim(const std::string& command, const std::vector<std::string>& args = {},
                    const std::string& keys = "") const;
    Result boot(std::string keys = "") const { return bladesim("run", {"--speed", "500", "--timeout", "60"}, keys); }
    void setenv(const std::vector<std::string>& assignments) const;
    Bytes read(const std::string& relative) const;
    void write(const std::string& relative, const Bytes& bytes) const;
    std::vector<std::string> commands() const;  // log/commands.log, one entry per line
    std::string outcome() const;
};

// Starts PROGRAM ARGS in a session of its own; in the child, `console` sets
// up descriptors 0, 1 and 2 (false gives up).
pid_t start(const std::string& program, const std::vector<std::string>& args, const std::function<bool()>& console);
// Waits for a run, first killing its session if it is still going; its exit status, -1 when killed.
int finish(pid_t pid, bool kill = true);
std::string slurp(const fs::path& path);
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace systest
