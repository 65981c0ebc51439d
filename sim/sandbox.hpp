// The board's sandbox: a bubblewrap root in which the launcher's commands,
// devices and paths are the board's, never this machine's.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace bladesim {

namespace fs = std::filesystem;

// Host files that become the board's programs.
struct Tools {
    fs::path launcher;  // bladeboot-sim
    fs::path service;   // bladeboot-service built for the board; may be empty
    fs::path rx;        // the XMODEM receiver for /usr/bin/rx
    fs::path enter;     // bladesim-enter
    fs::path fakes;     // folder of the fake platform commands
    fs::path busybox;
};

// The platform commands the board's fakes stand in for.
extern const std::vector<std::string> FAKE_COMMANDS;

struct SandboxPlan {
    fs::path board;  // absolute
    Tools tools;
    std::vector<std::string> program;  // as seen inside
    unsigned speed = 1;
    std::string console_tty;  // host terminal to show as /dev/ttyS0; empty: none
    bool as_root = true;      // this process is root (else a user namespace maps it)
    std::string term;         // $TERM for the shell, may be empty
};

// The whole bwrap command line.
std::vector<std::string> bwrap_args(const SandboxPlan& plan);

enum class Outcome { application, reboot, timeout, exited };

struct RunResult {
    Outcome outcome;
    int status;  // the program's exit status for exited
};

// Runs the sandbox with this process's stdin/stdout/stderr as the console,
// ends it after timeout_s seconds, and records the outcome in DIR/log.
RunResult run_sandbox(const SandboxPlan& plan, unsigned timeout_s);

// "application", "reboot", "timeout", "exit N".
std::string outcome_word(const RunResult& result);

}  // namespace bladesim
