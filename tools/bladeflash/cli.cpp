#include "bladeflash/cli.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "bladeflash/session.hpp"
#include "bladeimg/image_builder.hpp"
#include "bladeimg/walk.hpp"

using namespace bladeflash;

namespace {

constexpr const char* HELP =
    "usage: bladeflash [--slot 1|2|boot] [--reboot] [--timeout S] [--verify] [--json] PORT PACKAGE\n"
    "\n"
    "Updates a blade over its serial console: waits for the rescue menu, downloads PACKAGE\n"
    "with XMODEM-1K, answers the slot question and reports what the board says.\n"
    "\n"
    "  PORT         a serial device (set to 115200 8N1 raw), a unix socket, or - for\n"
    "               standard input and output\n"
    "  --slot S     install the application image into slot 1 or 2, or boot it without\n"
    "               installing (boot); needed when PACKAGE holds an application image\n"
    "  --reboot     reboot the board once installed\n"
    "  --timeout S  give up when the board says nothing for S seconds (default 60)\n"
    "  --verify     check the menu's version display against PACKAGE afterwards\n"
    "  --json       print the result as one JSON object\n"
    "\n"
    "Exit status: 0 installed, 1 the package or the board refused or failed,\n"
    "2 bad arguments, 3 no answer from the board in time.\n";

struct Usage {
    std::string message;
};

struct Options {
    Plan plan;
    bool json = false;
    std::string port, package;
};

Options parse(int argc, char** argv)
{
    Options o;
    std::vector<std::string> operands;
    bool slot_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw Usage{a + " needs a value"};
            return argv[++i];
        };
        if (a == "--slot") {
            const std::string v = value();
            if (v == "1") o.plan.slot = Slot::one;
            else if (v == "2") o.plan.slot = Slot::two;
            else if (v == "boot") o.plan.slot = Slot::boot;
            else throw Usage{"--slot takes 1, 2 or boot, not '" + v + "'"};
            slot_given = true;
        } else if (a == "--timeout") {
            const std::string v = value();
            int s = 0;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), s);
            if (ec != std::errc{} || end != v.data() + v.size() || s < 1 || s > 86400)
                throw Usage{"--timeout takes whole seconds from 1 to 86400, not '" + v + "'"};
            o.plan.timeout_s = s;
        } else if (a == "--reboot") {
            o.plan.reboot = true;
        } else if (a == "--verify") {
            o.plan.verify = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            throw Usage{"unknown option '" + a + "'"};
        } else {
            operands.push_back(a);
        }
    }
    if (operands.size() != 2) throw Usage{"needs PORT and PACKAGE"};
    if (slot_given && o.plan.slot == Slot::boot && (o.plan.reboot || o.plan.verify))
        throw Usage{"--slot boot leaves no menu for --reboot or --verify"};
    o.port = operands[0];
    o.package = operands[1];
    return o;
}

// The package whole and its images, or a reason to refuse it; the same
// walk as 'bladeimg verify', padding and an erased tail allowed.
std::string check_package(const std::string& path, Plan& plan)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return path + ": " + std::strerror(errno);
    bladeimg::Reader in(fd);
    std::string bad;
    const bladeimg::WalkResult r = bladeimg::walk_images(in, [&](const bladeimg::WalkedImage& im) {
        plan.images.push_back({im.geometry.type, im.version});
        if (!im.crc_ok() && bad.empty()) {
            char text[160];
            std::snprintf(text, sizeof text, "%s: offset %llu: crc mismatch (stored 0x%08x, computed 0x%08x)",
                          path.c_str(), static_cast<unsigned long long>(im.offset), im.crc_stored, im.crc_computed);
            bad = text;
        }
    });
    std::vector<uint8_t> bytes;
    if (r.end != bladeimg::WalkEnd::read_error && bad.empty()) {
        ::lseek(fd, 0, SEEK_SET);
        uint8_t buf[65536];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
    }
    ::close(fd);
    if (r.end == bladeimg::WalkEnd::read_error) return path + ": " + std::strerror(r.error);
    if (!bad.empty()) return bad;
    using bladeimg::WalkEnd;
    const bool tail_ok = r.end == WalkEnd::exact || r.end == WalkEnd::padding || r.end == WalkEnd::erased;
    if (r.images == 0 || !tail_ok)
        return path + ": offset " + std::to_string(r.offset) + ": " +
               (r.images == 0 ? "no image" : "not an image (cut short, unusable header or trailing bytes)");
    plan.package = std::move(bytes);
    return "";
}

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') out += '\\', out += c;
        else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else out += c;
    }
    return out + "\"";
}

void print_json(FILE* out, const Options& o, const Outcome& r)
{
    static const char* const results[] = {"installed", "failed", "usage", "no-answer"};
    std::fprintf(out, "{\"result\":\"%s\",\"exit\":%d,\"message\":%s,\"bytes\":%llu,\"seconds\":%.3f,\"images\":[",
                 results[r.status], r.status, json_string(r.message).c_str(), static_cast<unsigned long long>(r.sent),
                 r.send_seconds);
    for (size_t i = 0; i < o.plan.images.size(); ++i) {
        const char* name = bladeimg::type_name(o.plan.images[i].type);
        std::fprintf(out, "%s{\"type\":\"%s\",\"version\":\"%s\"}", i ? "," : "", name ? name : "other",
                     version_text(o.plan.images[i].version).c_str());
    }
    std::fprintf(out, "]}\n");
}

Report make_report(bool quiet)
{
    Report report;
    if (quiet) return report;
    const bool tty = ::isatty(2);
    report.stage = [tty](const std::string& s) { std::fprintf(stderr, "%sbladeflash: %s\n", tty ? "\r\033[K" : "", s.c_str()); };
    if (tty)
        report.progress = [](uint64_t sent, uint64_t total, double seconds) {
            const double rate = static_cast<double>(sent) / std::max(seconds, 1e-3);
            const double left = static_cast<double>(total - sent) / std::max(rate, 1.0);
            std::fprintf(stderr, "\r\033[K  %llu/%llu bytes  %.1f KiB/s  %.0f s left",
                         static_cast<unsigned long long>(sent), static_cast<unsigned long long>(total), rate / 1024,
                         left);
        };
    return report;
}

}  // namespace

int bladeflash_main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return std::fputs(HELP, stdout), 0;
        if (!std::strcmp(argv[i], "--version")) return std::printf("bladeflash %s\n", BLADEBOOT_VERSION), 0;
    }
    Options o;
    try {
        o = parse(argc, argv);
    } catch (const Usage& u) {
        std::fprintf(stderr, "bladeflash: %s (try 'bladeflash --help')\n", u.message.c_str());
        return EXIT_USAGE;
    }
    // With PORT '-' standard output is the board's line.
    FILE* const out = o.port == "-" ? stderr : stdout;
    Outcome result;
    const std::string bad = check_package(o.package, o.plan);
    bool has_application = false;
    for (const PackageImage& im : o.plan.images) has_application |= im.type == bladeboot::IMAGE_APPLICATION;
    if (!bad.empty()) {
        result = {EXIT_FAILED, "package refused: " + bad, 0, 0};
    } else if (has_application && o.plan.slot == Slot::ask) {
        std::fprintf(stderr, "bladeflash: %s holds an application image: give --slot 1, 2 or boot (try 'bladeflash --help')\n",
                     o.package.c_str());
        return EXIT_USAGE;
    } else {
        std::string error;
        const auto line = open_port(o.port, &error);
        if (!line) {
            result = {EXIT_FAILED, error, 0, 0};
        } else {
            ::signal(SIGPIPE, SIG_IGN);
            result = flash_board(*line, o.plan, make_report(o.json));
        }
    }
    if (o.json) print_json(out, o, result);
    else std::fprintf(result.status == EXIT_DONE ? out : stderr, "bladeflash: %s\n", result.message.c_str());
    return result.status;
}
