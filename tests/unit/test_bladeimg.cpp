// The image builder, the package walk and the bladeimg command line, run
// in-process on files in the sandbox's /tmp.
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "bladeimg/cli.hpp"
#include "bladeimg/walk.hpp"
#include "support.hpp"

using namespace unit;
using bladeimg::Kind;

namespace {

Bytes img(uint32_t type, size_t n, Kind kind = Kind::plain, uint32_t header_length = 0)
{
    return bladeimg::make_image({type, 0x01020304, kind, header_length}, Bytes(n, static_cast<uint8_t>(n)));
}

std::string be32(std::initializer_list<uint32_t> words)
{
    std::string out;
    for (uint32_t w : words) out += {char(w >> 24), char(w >> 16), char(w >> 8), char(w)};
    return out;
}

// bladeimg with its standard output on a full disk (1 is the lowest free
// descriptor once closed).
int full_disk(int n, char** v) { return ::close(1), ::open("/dev/full", O_WRONLY), bladeimg_main(n, v); }

// '*' stands for any run of characters within a line, or for all the rest
// at the very end.
bool fits(const char* t, const char* p)
{
    if (*p == '*') return !p[1] || fits(t, p + 1) || (*t && *t != '\n' && fits(t + 1, p));
    return *p == *t && (!*p || fits(t + 1, p + 1));
}

}  // namespace

using BladeimgCli = fake::BoardTest;

TEST_F(BladeimgCli, PackageWalkEndsAsTheLauncherDoesAndCommandsOnFilesGoodAndBad)
{
    // Random files with small length fields planted, so that runs of images
    // occur; the first a run of all three kinds.
    std::mt19937 rng(99);
    for (size_t round = 0; round < 200; ++round) {
        Bytes file(rng() % 600);
        for (auto& byte : file) byte = static_cast<uint8_t>(rng());
        for (size_t at = 0; at + 24 <= file.size(); at += 8 + rng() % 40)
            put_be32(&file[at + 4], rng() % 64), put_be32(&file[at + 16], rng() % 2 ? HDR3_MARKER : uint32_t(rng()));
        if (!round) file = img(IMAGE_KERNEL, 9) + img(IMAGE_RFS, 5, Kind::hdr3, 40) + img(IMAGE_DFT, 3, Kind::extended);
        write_file("/tmp/walk.bin", file);
        // The launcher's walk: each image starts where the one before ends,
        // until fewer bytes than a header remain.
        std::vector<uint64_t> starts;
        size_t end = 0, left = file.size();
        for (ImageGeometry g; left >= 24 && (g = image_geometry(&file[end])).usable && g.total_size <= left;
             end += g.total_size, left -= g.total_size)
            starts.push_back(end);
        using enum bladeimg::WalkEnd;
        const auto how = !left ? exact : left < 24 ? short_tail : image_geometry(&file[end]).usable ? cut_short
                                                                                                 : unusable;
        // Buffers just above a header and odd sizes move every boundary.
        for (size_t buffer : {size_t{24}, size_t{37}, 24 + rng() % 100, size_t{4096}}) {
            const int fd = ::open("/tmp/walk.bin", O_RDONLY);
            bladeimg::Reader in(fd, buffer);
            std::vector<uint64_t> offsets;
            const auto r = bladeimg::walk_images(in, [&](const auto& im) { offsets.push_back(im.offset); });
            ::close(fd);
            EXPECT_EQ(std::tuple(offsets, r.end, r.offset, r.trailing), std::tuple(starts, how, end, left))
                << "round " << round << ", buffer " << buffer;
        }
    }

    // Each command on files good and bad (a bad one among good ones is the
    // only one named) and on bad arguments: the exit status, what each stream
    // says, and what /tmp/out.img holds after: nothing unless it succeeded.
    const Bytes k = img(IMAGE_KERNEL, 100);
    Bytes bad = k, wraps = k, beyond = img(IMAGE_RFS, 8, Kind::hdr3), too_short = img(IMAGE_RFS, 8, Kind::extended);
    bad[50] ^= 1, put_be32(&wraps[4], 0xFFFFFFF8u), put_be16(&beyond[22], 200), put_be16(&too_short[18], 8);
    for (const auto& [name, content] : std::initializer_list<std::pair<const char*, Bytes>>{
             {"k", k}, {"bad", bad}, {"empty", {}}, {"p", bytes("abcdefgh")}, {"abc", bytes("abc")}, {"huge", {}},
             {"big", Bytes(300000, 0xA5) + bytes("123")}, {"pad_only", Bytes(100, 0x1A)}, {"zeros", Bytes(40, 0)},
             {"cut", k + Bytes(k.begin(), k.begin() + 60)}, {"beyond", beyond}, {"too_short", too_short},
             {"info", img(0x07504754, 8) + bad + img(IMAGE_KERNEL, 0) + Bytes(4, 0)}, {"wraps", k + wraps},
             {"padded", k + Bytes(300, 0x1A)}, {"pad10", k + Bytes(10, 0x1A)}, {"erased", k + Bytes(100, 0xFF)},
             {"good", k + img(IMAGE_DIAGS, 1000, Kind::extended, 0xFFFF) + img(IMAGE_DIAGS, 1000, Kind::hdr3, 1000)},
             {"text", bytes("a line of text, and more\n")}})
        write_file(std::string("/tmp/") + name, content);
    // Sparse, so they cost no disk: what was not walked must not wrap at 2^31
    // or 2^32, and huge is one byte past what a plain image holds.
    ASSERT_EQ(::truncate("/tmp/wraps", (off_t{1} << 32) + 200) + ::truncate("/tmp/huge", (off_t{1} << 32) - 16), 0);

    const std::string c = "create --type kernel --version 1.2.3.4 -o ", w = c + "/tmp/out.img ", p = "abcdefgh";
    const std::string o = " -o /tmp/out.img /tmp/p", v = " --version 1.2.3.4" + o;
    const std::string enoent = ": No such file or directory\n", version = "bladeimg " BLADEBOOT_VERSION "\n";
    // A command line, its exit status, and globs for stdout, stderr and /tmp/out.img.
    struct Run { std::string line; int status; std::string out = "", err = "", made = "";
                 int (*main)(int, char**) = bladeimg_main; };
    std::vector<Run> cases = {
        // Headers byte for byte; crc fields from zlib's crc32, inverted. Bit
        // 31 of a type value belongs to the header kind. '-' is standard
        // input (here /tmp/abc) and output; below 24 bytes the launcher's
        // walk stops before the image: say so.
        {c + "- -", 0, be32({0xfdc382bb, 3, 0x03504754, 0x01020304}) + "abc", "bladeimg: warning: *: 19 bytes*"},
        {"create --type APPLICATION --version 2.0.0.1 --header extended" + o, 0, "", "",
         be32({0xf16a6ff0, 8, 0x81504754, 0x02000001, 24, 0}) + p},
        {"create --type 0x84504754 --version=0.0.0.9 --header hdr3 --header-length 32" + o, 0, "", "",
         be32({0xcd0d41c8, 24, 0x04504754, 9, 0x48445233, 32, 0, 0}) + p},
        {"--help", 0, "usage: bladeimg *"}, {"--version", 0, version}, {"info --version", 0, version},
        // An oversized payload is refused from its size alone.
        {c + "/tmp/out.img /tmp/huge", 1, "", "bladeimg: /tmp/huge: 4294967280 bytes, too large for an image*"},
        {c + "/tmp/no/out.img /tmp/k", 1, "", "bladeimg: /tmp/no/out.img" + enoent},
        {c + "/dev/full /tmp/k", 1, "", "bladeimg: /dev/full: No space left on device\n"},  // on write, not open
        {"pack -o /tmp/out.img /tmp/good /tmp/bad /tmp/empty /tmp/missing", 1, "",
         "bladeimg: /tmp/bad: offset 0: crc mismatch*\nbladeimg: /tmp/empty: offset 0: no image in the file\n"
         "bladeimg: /tmp/missing" + enoent},
        // Writing over an input would destroy it.
        {"pack -o /tmp/k /tmp/good /tmp/k", 1, "", "bladeimg: /tmp/k: is also one of the images to pack\n"},
        {c + "/tmp/p /tmp/p", 1, "", "bladeimg: /tmp/p: is also the payload\n"},
        {"pack -o /tmp/out.img /tmp/good /tmp/k", 0, "", "", read_file("/tmp/good") + read_file("/tmp/k")},
        // As the launcher takes them: an XMODEM download's padding, a flash dump's erased tail.
        {"verify /tmp/padded /tmp/pad10 /tmp/erased", 0,
         "/tmp/padded: offset 116: 300 bytes of padding (0x1A), not an image, accepted after the images as the "
         "launcher does\n/tmp/pad10: offset 116: 10 bytes of pad*\n/tmp/erased: offset 116: 100 bytes of erased*\n"},
        {"verify /tmp/k /tmp/bad /tmp/zeros /tmp/wraps /tmp/beyond /tmp/too_short /tmp/text /tmp/pad_only /tmp", 1,
         "/tmp/bad: offset 0: crc mismatch (stored 0x*)\n/tmp/zeros: offset 0: 40 bytes of zeros, not an image\n"
         "/tmp/wraps: offset 116: unusable header: total size 4294967304 does not fit in 32 bits; 4294967380 bytes*\n"
         "/tmp/beyond: offset 0: unusable header: header length 200 exceeds len + 16 (32)*\n"
         "/tmp/too_short: offset 0: unusable header: header length 8 is shorter than *\n"
         "/tmp/text: offset 0: not an image (unknown type 0x*, cut short at 25 of * bytes)\n"
         "/tmp/pad_only: offset 0: 100 bytes of padding (0x1A), not an image\n",
         "bladeimg: /tmp: Is a directory\n"},
        {"crc /tmp/big", 0, "ad0cd329\n"},  // past the reader's buffer: pieces must chain
        // A result that cannot be written is no result.
        {"crc /tmp/p", 1, "", "bladeimg: standard output: No space left on device\n", "", full_disk},
        // A whole 16-byte image in the last 20 bytes: never read, as the launcher stops under 24.
        {"info /tmp/info /tmp/missing", 1,
         "/tmp/info:\n  offset *\n  0           0x07504754   plain     16      8           24          1.2.3.4  *  ok\n"
         "  24          kernel       plain     16      100         116         1.2.3.4          0x0c654873  "
         "0x458ce56c  MISMATCH\n  end at offset 140: 20 trailing bytes, shorter than a header (24 bytes)\n",
         "bladeimg: /tmp/missing" + enoent},
        // One document; each file named, an unreadable one with its error.
        {"info --json /tmp/cut /tmp/empty /tmp/missing", 1,
         "{\"files\": [\n  {\"file\": \"/tmp/cut\", \"images\": [\n      {\"offset\": 0, \"type\": 55592788, "
         "\"type_name\": \"kernel\", \"kind\": 1, \"header_length\": 16, \"payload_length\": 100, \"total_size\": 116, "
         "\"version\": 16909060, \"version_text\": \"1.2.3.4\", \"crc_stored\": *, \"crc_computed\": *, \"crc_ok\": "
         "true}\n    ], \"end\": {\"offset\": 116, \"trailing\": 60, \"exact\": false, \"reason\": \"kernel image cut "
         "short at 60 of 116 bytes\"}},\n  {\"file\": \"/tmp/empty\", \"images\": [], \"end\": {\"offset\": 0, "
         "\"trailing\": 0, \"exact\": true, \"reason\": \"no image in the file\"}},\n  {\"file\": \"/tmp/missing\", "
         "\"error\": \"No such file or directory\"}\n]}\n",
         "bladeimg: /tmp/missing" + enoent}};
    for (const std::string& line : std::initializer_list<std::string>{
             "", "frobnicate", "info --json=yes /tmp/p", "verify --frob /tmp/k", "crc /tmp/p /tmp/p", w, "create" + v,
             "create --type kern" + v, "create --type 0x100000000" + v, "create --type kernel --version 1.2.3.256" + o,
             w + "--header hdr4 /tmp/p", w + "--header-length 24 /tmp/p", w + "--header hdr3 --header-length 23 /tmp/p",
             w + "--header extended --header-length 65536 /tmp/p", w + "--type rfs /tmp/p", w + "/tmp/p --header"})
        cases.push_back({line, 2, "", "bladeimg: * (try 'bladeimg *--help')\n"});
    const int saved = ::dup(0), in = ::open("/tmp/abc", O_RDONLY);
    ::dup2(in, 0), ::close(in);
    for (const auto& t : cases) {
        std::filesystem::remove("/tmp/out.img");
        const Outcome r = run_main(t.main, "bladeimg " + t.line);
        EXPECT_EQ(std::tuple(r.result, read_file("/tmp/out.img")), std::tuple(t.status, t.made)) << t.line;
        EXPECT_TRUE(fits(r.out.c_str(), t.out.c_str()) && fits(r.err.c_str(), t.err.c_str()))
            << t.line << "\n" << r.out << r.err;
    }
    ::dup2(saved, 0), ::close(saved);
    EXPECT_EQ(read_file("/tmp/p") + read_file("/tmp/k"), p + std::string(k.begin(), k.end()));
}
