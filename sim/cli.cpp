#include "cli.hpp"

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "board.hpp"
#include "sandbox.hpp"
#include "stdout_status.hpp"

namespace bladesim {
namespace {

constexpr int EXIT_APPLICATION = 0;
constexpr int EXIT_OTHER = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_REBOOT = 3;
constexpr int EXIT_TIMEOUT = 4;

const char* const HELP =
    "usage:\n"
    "  bladesim init DIR                      create a board in DIR (new or empty) with sample images\n"
    "  bladesim run DIR [--speed N] [--timeout SECONDS]\n"
    "                                         boot the board once; the console is this terminal\n"
    "  bladesim setenv DIR [--replace] NAME=VALUE...\n"
    "                                         write the boot loader environment as the boot loader does\n"
    "                                         (NAME= removes NAME; no assignment shows the environment;\n"
    "                                         a bad CRC is reported, and replaced only with --replace)\n"
    "  bladesim eeprom DIR [--preferred N] [--booted N] [--usbboot N]\n"
    "                                         show or set the boot settings\n"
    "  bladesim exec DIR [--speed N] [--timeout SECONDS] -- PROGRAM [ARGS...]\n"
    "                                         run a program of the board (bladeboot-service, sh) in its sandbox\n"
    "  bladesim --help | --version            (also COMMAND --help)\n"
    "\n"
    "--speed N makes every wait of the launcher N times shorter (default 1).\n"
    "--timeout ends a run that has not finished after SECONDS (default 300).\n"
    "After a run, DIR/log/outcome holds application, reboot, timeout or exit N, and\n"
    "DIR/log/commands.log every shell command the launcher ran.\n"
    "Exit status: 0 application started, 3 reboot, 4 timeout, 1 anything else, 2 usage.\n";

template <typename T>
std::optional<T> parse_number(const std::string& text, T low, T high)
{
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || text.empty() || value < low || value > high) return std::nullopt;
    return static_cast<T>(value);
}

Command command_named(const std::string& name, bool& known)
{
    known = true;
    if (name == "init") return Command::init;
    if (name == "run") return Command::run;
    if (name == "setenv") return Command::setenv;
    if (name == "eeprom") return Command::eeprom;
    if (name == "exec") return Command::exec;
    if (name == "help" || name == "--help" || name == "-h") return Command::help;
    if (name == "--version") return Command::version;
    known = false;
    return Command::help;
}

}  // namespace

std::variant<Options, std::string> parse_args(const std::vector<std::string>& args)
{
    Options o;
    if (args.empty()) return std::string("no command");
    bool known = false;
    o.command = command_named(args[0], known);
    if (!known) return "unknown command " + args[0];
    if (o.command == Command::help || o.command == Command::version) return o;
    // "bladesim init --help" asks for help, not for a board named --help.
    if (args.size() > 1 && (args[1] == "--help" || args[1] == "-h")) {
        o.command = Command::help;
        return o;
    }
    if (args.size() < 2 || args[1].empty() || args[1].rfind("--", 0) == 0) return args[0] + ": DIR is missing";
    o.dir = args[1];

    size_t i = 2;
    const auto value_of = [&]() -> std::optional<std::string> {
        if (i + 1 >= args.size()) return std::nullopt;
        i += 2;
        return args[i - 1];
    };
    for (; i < args.size();) {
        const std::string& a = args[i];
        const bool timed = o.command == Command::run || o.command == Command::exec;
        if (o.command == Command::exec && a == "--") {
            o.program.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        if (timed && (a == "--speed" || a == "--timeout")) {
            const auto text = value_of();
            if (!text) return a + " needs a value";
            const auto n = parse_number<unsigned>(*text, 1, 1000000);
            if (!n) return a + ": not a whole number from 1 to 1000000: " + *text;
            (a == "--speed" ? o.speed : o.timeout) = *n;
            continue;
        }
        if (o.command == Command::eeprom && (a == "--preferred" || a == "--booted" || a == "--usbboot")) {
            const auto text = value_of();
            if (!text) return a + " needs a value";
            const auto n = parse_number<uint8_t>(*text, 0, 255);
            if (!n) return a + ": not a byte value 0 to 255: " + *text;
            (a == "--preferred" ? o.preferred : a == "--booted" ? o.booted : o.usbboot) = *n;
            continue;
        }
        if (o.command == Command::setenv && a == "--replace") {
            o.replace = true;
            ++i;
            continue;
        }
        if (o.command == Command::setenv && a.rfind("--", 0) != 0) {
            o.assignments.push_back(a);
            ++i;
            continue;
        }
        return args[0] + ": unexpected argument " + a;
    }
    if (o.command == Command::exec && o.program.empty()) return "exec: -- PROGRAM [ARGS...] is missing";
    return o;
}

std::string describe_eeprom(std::span<const uint8_t> eeprom)
{
    const auto at = [&](size_t offset) { return offset < eeprom.size() ? int{eeprom[offset]} : -1; };
    char text[160];
    std::snprintf(text, sizeof text,
                  "preferred slot (byte %zu): %d\n"
                  "booted slot    (byte %zu): %d\n"
                  "USB boot       (byte %zu): %d%s\n",
                  EEPROM_PREFERRED, at(EEPROM_PREFERRED), EEPROM_BOOTED, at(EEPROM_BOOTED), EEPROM_USBBOOT,
                  at(EEPROM_USBBOOT), at(EEPROM_USBBOOT) == 213 ? " (boot from USB requested)" : "");
    return text;
}

namespace {

int init_command(const Options& o)
{
    const std::string error = create_board(o.dir);
    if (!error.empty()) {
        std::fprintf(stderr, "bladesim: %s\n", error.c_str());
        return EXIT_OTHER;
    }
    std::printf("bladesim: board created in %s\n", o.dir.c_str());
    return 0;
}

int setenv_command(const Options& o)
{
    const fs::path path = fs::path(o.dir) / "flash" / PARTITIONS[1].file;
    const auto block = read_file(path);
    if (!block) {
        std::fprintf(stderr, "bladesim: cannot read %s\n", path.c_str());
        return EXIT_OTHER;
    }
    // The boot loader starts empty on a bad CRC while the launcher still reads
    // the text: say so, and never write over settings nobody has seen.
    const auto parsed = parse_environment(*block);
    if (!parsed && !(o.replace && !o.assignments.empty())) {
        std::fprintf(stderr, "bladesim: %s: the environment's CRC does not match: the boot loader would start with "
                     "an empty one, the launcher still reads its text; %s\n", path.c_str(),
                     o.assignments.empty() ? "what it reads follows" : "not replaced (--replace writes a new one)");
        if (o.assignments.empty())
            for (const auto& [name, value] : parse_environment(*block, false).value_or(Environment{}))
                std::printf("%s=%s\n", name.c_str(), value.c_str());
        return EXIT_OTHER;
    }
    Environment vars = parsed.value_or(Environment{});
    if (o.assignments.empty()) {
        for (const auto& [name, value] : vars) std::printf("%s=%s\n", name.c_str(), value.c_str());
        return 0;
    }
    for (const std::string& a : o.assignments) {
        const std::string error = apply_assignment(vars, a);
        if (!error.empty()) {
            std::fprintf(stderr, "bladesim: %s\n", error.c_str());
            return EXIT_USAGE;
        }
    }
    if (const std::string* name = beyond_launcher(vars)) {
        std::fprintf(stderr, "bladesim: %s would end past byte %zu of the environment, beyond what the launcher reads\n",
                     name->c_str(), LAUNCHER_ENV_END);
        return EXIT_USAGE;
    }
    const auto written = make_environment(vars, block->size());
    if (!written) {
        std::fprintf(stderr, "bladesim: the environment does not fit in %zu bytes\n", block->size());
        return EXIT_OTHER;
    }
    if (!write_file(path, *written)) {
        std::fprintf(stderr, "bladesim: cannot write %s\n", path.c_str());
        return EXIT_OTHER;
    }
    return 0;
}

int eeprom_command(const Options& o)
{
    const fs::path path = fs::path(o.dir) / "eeprom.bin";
    auto bytes = read_file(path);
    if (!bytes || bytes->size() < EEPROM_USBBOOT + 1) {
        std::fprintf(stderr, "bladesim: %s is missing or too short\n", path.c_str());
        return EXIT_OTHER;
    }
    if (o.preferred || o.booted || o.usbboot) {
        if (o.preferred) (*bytes)[EEPROM_PREFERRED] = *o.preferred;
        if (o.booted) (*bytes)[EEPROM_BOOTED] = *o.booted;
        if (o.usbboot) (*bytes)[EEPROM_USBBOOT] = *o.usbboot;
        if (!write_file(path, *bytes)) {
            std::fprintf(stderr, "bladesim: cannot write %s\n", path.c_str());
            return EXIT_OTHER;
        }
    }
    std::fputs(describe_eeprom(*bytes).c_str(), stdout);
    return 0;
}

// The board folder must hold what the sandbox binds.
std::string check_board(const fs::path& dir)
{
    std::error_code ec;
    for (const Partition& part : PARTITIONS) {
        const fs::path p = dir / "flash" / part.file;
        const auto size = fs::file_size(p, ec);
        if (ec) return p.string() + " is missing";
        if (size == 0 || size % 0x10000 != 0) return p.string() + ": size is not a multiple of 64 KiB";
    }
    if (!fs::is_directory(dir / "user", ec)) return (dir / "user").string() + " is missing";
    return {};
}

fs::path first_existing(std::initializer_list<const char*> paths)
{
    std::error_code ec;
    for (const char* p : paths) {
        if (fs::exists(p, ec)) return fs::canonical(p, ec);
    }
    return {};
}

Tools find_tools()
{
    std::error_code ec;
    const fs::path here = fs::read_symlink("/proc/self/exe", ec).parent_path();
    Tools t;
    t.launcher = here / "bladeboot-sim";
    t.enter = here / "bladesim-enter";
    t.fakes = here / "board-bin";
    if (fs::exists(here / "bladeboot-service-sim", ec)) t.service = here / "bladeboot-service-sim";
    t.rx = fs::exists(here / "bladeboot-rx-sim", ec) ? here / "bladeboot-rx-sim" : first_existing({"/usr/bin/rx"});
    t.busybox = first_existing({"/usr/bin/busybox", "/bin/busybox"});
    return t;
}

int sandbox_command(const Options& o)
{
    const fs::path dir = fs::absolute(o.dir);
    const std::string problem = check_board(dir);
    if (!problem.empty()) {
        std::fprintf(stderr, "bladesim: %s (make a board with: bladesim init DIR)\n", problem.c_str());
        return EXIT_OTHER;
    }
    SandboxPlan plan;
    plan.board = dir;
    plan.tools = find_tools();
    if (plan.tools.busybox.empty() || plan.tools.rx.empty()) {
        std::fputs("bladesim: busybox and an rx receiver are needed (scripts/deps installs them)\n", stderr);
        return EXIT_OTHER;
    }
    plan.program = o.command == Command::run ? std::vector<std::string>{"/sim/bladeboot"} : o.program;
    plan.speed = o.speed;
    plan.as_root = ::geteuid() == 0;
    if (::isatty(0)) {
        if (const char* tty = ::ttyname(0)) plan.console_tty = tty;
        if (const char* term = std::getenv("TERM")) plan.term = term;
    }

    const RunResult result = run_sandbox(plan, o.timeout);
    switch (result.outcome) {
        case Outcome::application:
            return EXIT_APPLICATION;
        case Outcome::reboot:
            return EXIT_REBOOT;
        case Outcome::timeout:
            std::fprintf(stderr, "bladesim: timeout after %u s\n", o.timeout);
            return EXIT_TIMEOUT;
        case Outcome::exited:
            break;
    }
    if (o.command == Command::exec) return result.status;
    std::fprintf(stderr, "bladesim: the launcher ended with status %d\n", result.status);
    return EXIT_OTHER;
}

}  // namespace

static int run(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto parsed = parse_args(args);
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "bladesim: %s (try 'bladesim --help')\n", error->c_str());
        return EXIT_USAGE;
    }
    const Options& o = std::get<Options>(parsed);
    switch (o.command) {
        case Command::help:
            std::fputs(HELP, stdout);
            return 0;
        case Command::version:
            std::printf("bladesim %s\n", BLADEBOOT_VERSION);
            return 0;
        case Command::init:
            return init_command(o);
        case Command::setenv:
            return setenv_command(o);
        case Command::eeprom:
            return eeprom_command(o);
        case Command::run:
        case Command::exec:
            return sandbox_command(o);
    }
    return EXIT_USAGE;
}

int bladesim_main(int argc, char** argv) { return with_stdout_status("bladesim", run(argc, argv)); }

}  // namespace bladesim
