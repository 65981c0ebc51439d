#include "bladeimg/cli.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bladeimg/args.hpp"
#include "bladeimg/image_builder.hpp"
#include "bladeimg/walk.hpp"
#include "stdout_status.hpp"

// A 2 GiB package must be readable on a 32-bit build host too.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace bladeimg {
namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_BAD = 1;
constexpr int EXIT_USAGE = 2;

// ---- Help texts -------------------------------------------------------------

constexpr const char* CREATE_USAGE =
    "usage: bladeimg create --type TYPE --version A.B.C.D [--header plain|extended|hdr3]\n"
    "                       [--header-length N] -o OUT PAYLOAD\n";
constexpr const char* PACK_USAGE = "usage: bladeimg pack -o OUT IMAGE...\n";
constexpr const char* INFO_USAGE = "usage: bladeimg info [--json] FILE...\n";
constexpr const char* VERIFY_USAGE = "usage: bladeimg verify FILE...\n";
constexpr const char* CRC_USAGE = "usage: bladeimg crc FILE\n";

constexpr const char* MAIN_USAGE =
    "usage: bladeimg create --type TYPE --version A.B.C.D [--header plain|extended|hdr3]\n"
    "                       [--header-length N] -o OUT PAYLOAD\n"
    "       bladeimg pack -o OUT IMAGE...\n"
    "       bladeimg info [--json] FILE...\n"
    "       bladeimg verify FILE...\n"
    "       bladeimg crc FILE\n"
    "       bladeimg --help | --version\n";

constexpr const char* MAIN_HELP =
    "\n"
    "Builds and checks the images and image packages that bladeboot installs and boots.\n"
    "\n"
    "  create   wrap a payload in an image header\n"
    "  pack     join images into one package\n"
    "  info     list the images of a file, walked as the launcher walks a package\n"
    "  verify   check every image's CRC and that the images fill each file exactly\n"
    "  crc      the launcher's CRC-32 of a whole file\n"
    "\n"
    "Run 'bladeimg COMMAND --help' for a command's options. A FILE, PAYLOAD or OUT\n"
    "of '-' is standard input or output.\n"
    "Exit status: 0 success, 1 a file could not be read or written (or verify found\n"
    "a problem), 2 bad arguments.\n";

constexpr const char* CREATE_HELP =
    "\n"
    "Writes OUT: an image header followed by the bytes of PAYLOAD.\n"
    "\n"
    "  --type TYPE          application, uboot, kernel, rfs, dft or diags (any case),\n"
    "                       or a number (decimal or 0x...) used as the type value;\n"
    "                       bit 31 is cleared, since it belongs to the header kind\n"
    "  --version A.B.C.D    the image version, each part 0..255\n"
    "  --header KIND        plain (default): 16 bytes\n"
    "                       extended: bit 31 of magic set, header length at byte 18\n"
    "                       hdr3: \"HDR3\" at byte 16, header length at byte 22\n"
    "  --header-length N    24..65535, for extended and hdr3 only (default 24);\n"
    "                       the bytes past the fields are zero\n"
    "  -o OUT               the image file to write\n"
    "\n"
    "The payload is read twice (for the CRC, then to copy it); a PAYLOAD that is\n"
    "a pipe is first copied to a temporary file. A PAYLOAD above 4 GiB less the\n"
    "header is refused before it is read.\n";

constexpr const char* PACK_HELP =
    "\n"
    "Writes OUT: the IMAGE files one after another, as one package. Each IMAGE must\n"
    "hold whole images with good CRCs and nothing else (as 'bladeimg verify' says).\n"
    "OUT may not be one of the IMAGE files.\n";

constexpr const char* INFO_HELP =
    "\n"
    "Walks each FILE as the launcher walks a package: an image starts where the one\n"
    "before ends, and the walk stops when fewer than 24 bytes remain. Prints per\n"
    "image its offset, type, header kind and length, payload length, total size,\n"
    "version and stored and computed CRC; then what follows the last whole image.\n"
    "A header whose sizes cannot be followed (header length below 16 or beyond the\n"
    "total size, sizes past 4 GiB) ends the walk: nothing after it can be located.\n"
    "\n"
    "A run of all-zero headers, erased flash (0xFF) or XMODEM padding (0x1A) is\n"
    "reported once, with its offset and length, not walked image by image.\n"
    "\n"
    "  --json   one JSON document: {\"files\": [...]} with per FILE an object\n"
    "           {\"file\", \"images\": [...], \"end\": {\"offset\", \"trailing\", \"exact\",\n"
    "           \"reason\"}}, or {\"file\", \"error\"} for a FILE that cannot be read.\n"
    "           Each image: offset, type, type_name, kind, header_length,\n"
    "           payload_length, total_size, version (the 32-bit id), version_text\n"
    "           (A.B.C.D), crc_stored, crc_computed, crc_ok.\n";

constexpr const char* VERIFY_HELP =
    "\n"
    "Exits 0 when every image's CRC matches and the images fill each FILE exactly\n"
    "(an empty FILE holds no image and fails); XMODEM padding (0x1A) or erased\n"
    "flash (0xFF) after the last image is accepted, as the launcher accepts it,\n"
    "and said so. Otherwise prints one line per problem, FILE: offset N: what is\n"
    "wrong, and exits 1.\n";

constexpr const char* CRC_HELP =
    "\n"
    "Prints the launcher's CRC-32 (reflected, polynomial 0xEDB88320, start value\n"
    "0xFFFFFFFF, not inverted) of the whole FILE as 8 hex digits.\n";

// ---- Files ----------------------------------------------------------------------

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

bool is_stdio(const std::string& path) { return path == "-"; }

std::string shown(const std::string& path) { return is_stdio(path) ? "standard input" : path; }

int file_error(const std::string& name, int error)
{
    std::fprintf(stderr, "bladeimg: %s: %s\n", name.c_str(), std::strerror(error));
    return EXIT_BAD;
}

// "-" is standard input; its descriptor is duplicated so that Fd may close it.
int open_input(const std::string& path)
{
    return is_stdio(path) ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

bool write_all(int fd, std::span<const uint8_t> bytes)
{
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put == 0) errno = EIO;
        if (put <= 0) return false;
        bytes = bytes.subspan(static_cast<size_t>(put));
    }
    return true;
}

// A file being written, or standard output for "-". A file that fails is
// removed, so that no half-written image is left to be mistaken for a whole one.
class Output {
public:
    explicit Output(std::string path)
        : path_(std::move(path)),
          fd_(is_stdio(path_) ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0)
                              : ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666))
    {
        if (fd_ < 0) file_error(name(), errno);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output()
    {
        if (fd_ >= 0) ::close(fd_);
    }

    bool is_open() const { return fd_ >= 0; }

    void write(std::span<const uint8_t> bytes)
    {
        if (!error_ && !write_all(fd_, bytes)) error_ = errno ? errno : EIO;
    }

    // Gives up without blaming the output (an input failed).
    int abandon()
    {
        discard();
        return EXIT_BAD;
    }

    // close() is where a full disk or a network file system may speak up.
    int finish()
    {
        if (::close(fd_) != 0 && !error_) error_ = errno;
        fd_ = -1;
        if (!error_) return EXIT_OK;
        file_error(name(), error_);
        return abandon();
    }

private:
    std::string name() const { return is_stdio(path_) ? "standard output" : path_; }

    void discard()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        struct stat st {};
        if (!is_stdio(path_) && ::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) std::remove(path_.c_str());
    }

    std::string path_;
    int fd_;
    int error_ = 0;
};

// ---- What the walk found, in words ----------------------------------------------

std::string type_text(uint32_t type)
{
    if (const char* name = type_name(type)) return name;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", type);
    return hex;
}

std::string version_text(uint32_t id)
{
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", id >> 24, (id >> 16) & 255u, (id >> 8) & 255u, id & 255u);
    return text;
}

// Nothing the walk could follow, under a type no image has: not an image at all.
bool garbage(const WalkResult& r) { return r.images == 0 && type_name(r.geometry.type) == nullptr; }

std::string end_text(const WalkResult& r)
{
    char text[256];
    switch (r.end) {
    case WalkEnd::exact:
        return r.images ? "the images fill the file exactly" : "no image in the file";
    case WalkEnd::empty:
        std::snprintf(text, sizeof text, "empty header (all zeros); %llu bytes from here not walked",
                      static_cast<unsigned long long>(r.trailing));
        return text;
    case WalkEnd::short_tail:
        std::snprintf(text, sizeof text, "%llu trailing bytes, shorter than a header (%u bytes)",
                      static_cast<unsigned long long>(r.trailing), HEADER_PROBE_SIZE);
        return text;
    case WalkEnd::cut_short:
        std::snprintf(text, sizeof text, garbage(r) ? "not an image (unknown type %s, cut short at %llu of %u bytes)"
                                                    : "%s image cut short at %llu of %u bytes",
                      type_text(r.geometry.type).c_str(), static_cast<unsigned long long>(r.trailing),
                      r.geometry.total_size);
        return text;
    case WalkEnd::unusable:
        std::snprintf(text, sizeof text, "%sunusable header: %s; %llu bytes from here not walked",
                      garbage(r) ? "not an image, " : "", unusable_reason(r.header).c_str(),
                      static_cast<unsigned long long>(r.trailing));
        return text;
    case WalkEnd::padding:
    case WalkEnd::erased:
    case WalkEnd::zeros:
        std::snprintf(text, sizeof text, "%llu bytes of %s, not an image", static_cast<unsigned long long>(r.trailing),
                      r.end == WalkEnd::padding ? "padding (0x1A)"
                      : r.end == WalkEnd::erased ? "erased flash (0xFF)"
                                                 : "zeros");
        return text;
    case WalkEnd::read_error: break;
    }
    return std::strerror(r.error);
}

bool fills_exactly(const WalkResult& r) { return r.end == WalkEnd::exact && r.images > 0; }

// Opens `path` and walks it. An unreadable file is reported (and its errno
// left in r.error) unless `quiet`.
WalkResult walk_path(const std::string& path, const std::function<void(const WalkedImage&)>& on_image,
                     bool quiet = false)
{
    Fd fd(open_input(path));
    WalkResult r;
    if (fd.get() < 0) {
        r.end = WalkEnd::read_error;
        r.error = errno;
    } else {
        Reader in(fd.get());
        r = walk_images(in, on_image);
    }
    if (r.end == WalkEnd::read_error && !quiet) file_error(shown(path), r.error);
    return r;
}

// ---- Commands --------------------------------------------------------------------

// Truncating OUT first would destroy an input that is the same file.
bool is_output(const std::string& out, const std::string& input)
{
    struct stat a {}, b {};
    const bool got_out = is_stdio(out) ? ::fstat(STDOUT_FILENO, &a) == 0 : ::stat(out.c_str(), &a) == 0;
    const bool got_in = is_stdio(input) ? ::fstat(STDIN_FILENO, &b) == 0 : ::stat(input.c_str(), &b) == 0;
    return got_out && got_in && S_ISREG(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

ImageSpec create_plan(const Parsed& p)
{
    const std::string* type_arg = p.get("--type");
    const std::string* version_arg = p.get("--version");
    if (!type_arg) throw UsageError{"--type is required"};
    if (!version_arg) throw UsageError{"--version is required"};
    if (!p.get("-o")) throw UsageError{"-o OUT is required"};
    if (p.operands.size() != 1) throw UsageError{"create takes one PAYLOAD"};

    ImageSpec plan;
    if (auto named = type_from_name(*type_arg)) {
        plan.type = *named;
    } else if (auto number = parse_number(*type_arg); number && *number <= UINT32_MAX) {
        plan.type = static_cast<uint32_t>(*number) & ~MAGIC_EXTENDED_BIT;
    } else {
        throw UsageError{"unknown type " + *type_arg};
    }
    const auto version = parse_version(*version_arg);
    if (!version) throw UsageError{"version must be A.B.C.D with each part 0..255: " + *version_arg};
    plan.version = *version;

    const std::string kind = p.get("--header") ? *p.get("--header") : "plain";
    if (kind == "plain") plan.kind = Kind::plain;
    else if (kind == "extended") plan.kind = Kind::extended;
    else if (kind == "hdr3") plan.kind = Kind::hdr3;
    else throw UsageError{"unknown header kind " + kind};

    if (const std::string* length_arg = p.get("--header-length")) {
        if (plan.kind == Kind::plain) throw UsageError{"a plain header is always 16 bytes; --header-length is for extended and hdr3"};
        const auto length = parse_number(*length_arg);
        if (!length || *length < 24 || *length > 0xFFFF)
            throw UsageError{"header length must be 24..65535: " + *length_arg};
        plan.header_length = static_cast<uint32_t>(*length);
    }
    if (!plan.header_length) plan.header_length = default_header_length(plan.kind);
    return plan;
}

// Percent done on a terminal, for payloads that take more than a moment.
class Progress {
public:
    Progress(const char* what, uint64_t total) : what_(what), total_(total), on_(total >= (64u << 20) && ::isatty(STDERR_FILENO)) {}
    ~Progress()
    {
        if (on_ && shown_ >= 0) std::fputs("\n", stderr);
    }
    void at(uint64_t done)
    {
        const int percent = total_ ? static_cast<int>(done * 100 / total_) : 100;
        if (!on_ || percent == shown_) return;
        shown_ = percent;
        std::fprintf(stderr, "\rbladeimg: %s %3d%%", what_, percent);
    }

private:
    const char* what_;
    uint64_t total_;
    bool on_;
    int shown_ = -1;
};

// A payload that cannot be read twice (a pipe, a terminal) is spooled to a
// temporary file first, so that memory stays flat in the payload's size.
int seekable_payload(int fd, const std::string& path, uint64_t limit)
{
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    FILE* spool = std::tmpfile();
    if (!spool) return file_error("temporary file", errno), -1;
    const int copy = ::fcntl(::fileno(spool), F_DUPFD_CLOEXEC, 0);
    std::fclose(spool);
    Reader in(fd);
    bool stored = true;
    const uint64_t got = in.consume(limit + 1, [&](std::span<const uint8_t> piece) { stored = stored && write_all(copy, piece); });
    if (in.error() || !stored || got > limit) {
        if (in.error()) file_error(shown(path), in.error());
        else if (!stored) file_error("temporary file", errno);
        else std::fprintf(stderr, "bladeimg: %s: too large for an image (at most %llu bytes)\n", shown(path).c_str(),
                          static_cast<unsigned long long>(limit));
        ::close(copy);
        return -1;
    }
    ::lseek(copy, 0, SEEK_SET);
    return copy;
}

int cmd_create(const Parsed& p)
{
    const ImageSpec plan = create_plan(p);
    const std::string& out = *p.get("-o");
    const std::string& path = p.operands[0];
    if (is_output(out, path)) {
        std::fprintf(stderr, "bladeimg: %s: is also the payload\n", out.c_str());
        return EXIT_BAD;
    }
    // Sizes are 32-bit on the blade: the whole image must stay below 4 GiB.
    const uint64_t limit = uint64_t{UINT32_MAX} - plan.header_length;
    Fd given(open_input(path));
    if (given.get() < 0) return file_error(shown(path), errno);
    struct stat st {};
    if (::fstat(given.get(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > limit) {
        std::fprintf(stderr, "bladeimg: %s: %llu bytes, too large for an image (at most %llu bytes)\n",
                     shown(path).c_str(), static_cast<unsigned long long>(st.st_size),
                     static_cast<unsigned long long>(limit));
        return EXIT_BAD;
    }
    Fd fd(seekable_payload(given.get(), path, limit));
    if (fd.get() < 0) return EXIT_BAD;
    const uint64_t size = ::fstat(fd.get(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (size > limit) return std::fprintf(stderr, "bladeimg: %s: too large for an image\n", shown(path).c_str()), EXIT_BAD;

    // The crc sits in front of the payload: one pass to compute it, one to copy.
    std::vector<uint8_t> header = header_fields(plan, static_cast<uint32_t>(size));
    uint32_t crc = header_crc(header);
    Progress progress("create", 2 * size);
    Reader first(fd.get());
    uint64_t done = 0;
    first.consume(size, [&](std::span<const uint8_t> piece) {
        crc = crc_update(crc, piece);
        progress.at(done += piece.size());
    });
    if (first.error()) return file_error(shown(path), first.error());
    put_be32(header.data(), crc);

    Output image(out);
    if (!image.is_open()) return EXIT_BAD;
    image.write(header);
    if (::lseek(fd.get(), 0, SEEK_SET) != 0) return file_error(shown(path), errno), image.abandon();
    Reader second(fd.get());
    const uint64_t copied = second.consume(size, [&](std::span<const uint8_t> piece) {
        image.write(piece);
        progress.at(done += piece.size());
    });
    if (second.error()) return file_error(shown(path), second.error()), image.abandon();
    if (copied != first.offset()) {
        std::fprintf(stderr, "bladeimg: %s: changed while being read\n", shown(path).c_str());
        return image.abandon();
    }
    const int status = image.finish();
    const uint64_t total = plan.header_length + size;
    if (status == EXIT_OK && total < HEADER_PROBE_SIZE)
        std::fprintf(stderr,
                     "bladeimg: warning: %s: %llu bytes, fewer than the %u a package walk reads first; "
                     "the launcher will not see this image at the end of a package\n",
                     out.c_str(), static_cast<unsigned long long>(total), HEADER_PROBE_SIZE);
    return status;
}

int cmd_pack(const Parsed& p)
{
    const std::string* out = p.get("-o");
    if (!out) throw UsageError{"-o OUT is required"};
    if (p.operands.empty()) throw UsageError{"pack needs at least one IMAGE"};
    if (std::count(p.operands.begin(), p.operands.end(), "-") > 0)
        throw UsageError{"pack reads each IMAGE twice; '-' cannot be one"};

    bool sound = true;
    for (const std::string& path : p.operands) {
        if (is_output(*out, path)) {
            std::fprintf(stderr, "bladeimg: %s: is also one of the images to pack\n", out->c_str());
            return EXIT_BAD;
        }
        const WalkResult r = walk_path(path, [&](const WalkedImage& image) {
            if (image.crc_ok()) return;
            std::fprintf(stderr, "bladeimg: %s: offset %llu: crc mismatch (stored 0x%08x, computed 0x%08x)\n",
                         path.c_str(), static_cast<unsigned long long>(image.offset), image.crc_stored,
                         image.crc_computed);
            sound = false;
        });
        if (r.end == WalkEnd::read_error) return EXIT_BAD;
        if (!fills_exactly(r)) {
            std::fprintf(stderr, "bladeimg: %s: offset %llu: %s\n", path.c_str(),
                         static_cast<unsigned long long>(r.offset), end_text(r).c_str());
            sound = false;
        }
    }
    if (!sound) return EXIT_BAD;

    Output package(*out);
    if (!package.is_open()) return EXIT_BAD;
    for (const std::string& path : p.operands) {
        Fd fd(open_input(path));
        if (fd.get() < 0) {
            file_error(path, errno);
            return package.abandon();
        }
        Reader in(fd.get());
        in.consume(UINT64_MAX, [&](std::span<const uint8_t> piece) { package.write(piece); });
        if (in.error()) {
            file_error(path, in.error());
            return package.abandon();
        }
    }
    return package.finish();
}

// A JSON string: quotes, backslashes and control bytes escaped.
std::string json_string(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void print_json_image(const WalkedImage& im, bool first)
{
    const char* name = type_name(im.geometry.type);
    std::printf("%s\n      {\"offset\": %llu, \"type\": %u, \"type_name\": %s, \"kind\": %u, \"header_length\": %u, "
                "\"payload_length\": %u, \"total_size\": %u, \"version\": %u, \"version_text\": \"%s\", "
                "\"crc_stored\": %u, \"crc_computed\": %u, \"crc_ok\": %s}",
                first ? "" : ",", static_cast<unsigned long long>(im.offset), im.geometry.type,
                name ? json_string(name).c_str() : "null", unsigned{im.geometry.kind}, im.geometry.header_length,
                im.geometry.payload_length, im.geometry.total_size, im.version, version_text(im.version).c_str(),
                im.crc_stored, im.crc_computed, im.crc_ok() ? "true" : "false");
}

// One document for all FILEs: {"files": [{"file", "images", "end"} or {"file", "error"}]}.
int info_json(const Parsed& p)
{
    int status = EXIT_OK;
    std::fputs("{\"files\": [", stdout);
    for (size_t i = 0; i < p.operands.size(); ++i) {
        const std::string& path = p.operands[i];
        std::printf("%s\n  {\"file\": %s, ", i ? "," : "", json_string(path).c_str());
        bool first = true;
        const WalkResult r = walk_path(
            path,
            [&](const WalkedImage& im) {
                if (first) std::fputs("\"images\": [", stdout);
                print_json_image(im, first);
                first = false;
            },
            true);
        if (r.end == WalkEnd::read_error) {
            file_error(shown(path), r.error);
            status = EXIT_BAD;
            // Images before a read error were printed: close their list.
            std::printf("%s\"error\": %s}", first ? "" : "\n    ], ", json_string(std::strerror(r.error)).c_str());
            continue;
        }
        std::printf("%s\"end\": {\"offset\": %llu, \"trailing\": %llu, \"exact\": %s, \"reason\": %s}}",
                    first ? "\"images\": [], " : "\n    ], ", static_cast<unsigned long long>(r.offset),
                    static_cast<unsigned long long>(r.trailing), r.end == WalkEnd::exact ? "true" : "false",
                    json_string(end_text(r)).c_str());
    }
    std::fputs("\n]}\n", stdout);
    return status;
}

int cmd_info(const Parsed& p)
{
    if (p.operands.empty()) throw UsageError{"info needs at least one FILE"};
    if (p.get("--json")) return info_json(p);
    int status = EXIT_OK;
    for (const std::string& path : p.operands) {
        bool first = true;
        const WalkResult r = walk_path(path, [&](const WalkedImage& im) {
            if (first)
                std::printf("%s:\n  %-11s %-12s %-9s %-7s %-11s %-11s %-16s %-11s %s\n", path.c_str(), "offset", "type",
                            "kind", "header", "payload", "total", "version", "crc stored", "computed");
            std::printf("  %-11llu %-12s %-9s %-7u %-11u %-11u %-16s 0x%08x  0x%08x  %s\n",
                        static_cast<unsigned long long>(im.offset), type_text(im.geometry.type).c_str(),
                        kind_name(im.geometry.kind), im.geometry.header_length, im.geometry.payload_length,
                        im.geometry.total_size, version_text(im.version).c_str(), im.crc_stored, im.crc_computed,
                        im.crc_ok() ? "ok" : "MISMATCH");
            first = false;
        });
        if (r.end == WalkEnd::read_error) {
            status = EXIT_BAD;
            continue;
        }
        if (first) std::printf("%s:\n", path.c_str());
        std::printf("  end at offset %llu: %s\n", static_cast<unsigned long long>(r.offset), end_text(r).c_str());
    }
    return status;
}

int cmd_verify(const Parsed& p)
{
    if (p.operands.empty()) throw UsageError{"verify needs at least one FILE"};
    int status = EXIT_OK;
    for (const std::string& path : p.operands) {
        const WalkResult r = walk_path(path, [&](const WalkedImage& im) {
            if (im.crc_ok()) return;
            std::printf("%s: offset %llu: crc mismatch (stored 0x%08x, computed 0x%08x)\n", path.c_str(),
                        static_cast<unsigned long long>(im.offset), im.crc_stored, im.crc_computed);
            status = EXIT_BAD;
        });
        if (r.end == WalkEnd::read_error) {
            status = EXIT_BAD;
            continue;
        }
        // The launcher takes a download padded by XMODEM, or a flash dump's erased tail.
        const bool tail_ok = r.images > 0 && (r.end == WalkEnd::padding || r.end == WalkEnd::erased);
        if (tail_ok)
            std::printf("%s: offset %llu: %s, accepted after the images as the launcher does\n", path.c_str(),
                        static_cast<unsigned long long>(r.offset), end_text(r).c_str());
        else if (!fills_exactly(r)) {
            std::printf("%s: offset %llu: %s\n", path.c_str(), static_cast<unsigned long long>(r.offset),
                        end_text(r).c_str());
            status = EXIT_BAD;
        }
    }
    return status;
}

int cmd_crc(const Parsed& p)
{
    if (p.operands.size() != 1) throw UsageError{"crc takes one FILE"};
    const std::string& path = p.operands[0];
    Fd fd(open_input(path));
    if (fd.get() < 0) return file_error(shown(path), errno);
    Reader in(fd.get());
    uint32_t crc = 0xFFFFFFFFu;
    in.consume(UINT64_MAX, [&](std::span<const uint8_t> piece) { crc = crc_update(crc, piece); });
    if (in.error()) return file_error(shown(path), in.error());
    std::printf("%08x\n", crc);
    return EXIT_OK;
}

struct Command {
    const char* name;
    int (*run)(const Parsed&);
    std::vector<Option> options;
    const char* usage;
    const char* help;
};

const Command COMMANDS[] = {
    {"create", cmd_create, {{"--type", true}, {"--version", true}, {"--header", true}, {"--header-length", true}, {"-o", true}},
     CREATE_USAGE, CREATE_HELP},
    {"pack", cmd_pack, {{"-o", true}}, PACK_USAGE, PACK_HELP},
    {"info", cmd_info, {{"--json", false}}, INFO_USAGE, INFO_HELP},
    {"verify", cmd_verify, {}, VERIFY_USAGE, VERIFY_HELP},
    {"crc", cmd_crc, {}, CRC_USAGE, CRC_HELP},
};

// One line: what is wrong, and where the whole story is.
int usage_error(const std::string& message, const char* command)
{
    std::fprintf(stderr, "bladeimg: %s (try 'bladeimg %s%s--help')\n", message.c_str(), command ? command : "",
                 command ? " " : "");
    return EXIT_USAGE;
}

int print_version()
{
    std::printf("bladeimg %s\n", BLADEBOOT_VERSION);
    return EXIT_OK;
}

int run(int argc, char** argv)
{
    const std::string_view first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h" || first == "help") {
        std::printf("%s%s", MAIN_USAGE, MAIN_HELP);
        return EXIT_OK;
    }
    if (first == "--version") return print_version();
    if (first.empty()) return usage_error("no command given", nullptr);
    for (const Command& c : COMMANDS) {
        if (first != c.name) continue;
        std::string error;
        const auto parsed = parse_args(argc, argv, c.options, error);
        if (!parsed) return usage_error(error, c.name);
        if (parsed->help) {
            std::printf("%s%s", c.usage, c.help);
            return EXIT_OK;
        }
        if (parsed->version) return print_version();
        try {
            return c.run(*parsed);
        } catch (const UsageError& e) {
            return usage_error(e.message, c.name);
        }
    }
    return usage_error("unknown command " + std::string(first), nullptr);
}

}  // namespace
}  // namespace bladeimg

int bladeimg_main(int argc, char** argv) { return with_stdout_status("bladeimg", bladeimg::run(argc, argv)); }
