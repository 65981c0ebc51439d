// The image builder, the package walk and the bladeimg command line, run
// in-process on files in the sandbox's /tmp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bladeimg/cli.hpp"
#include "bladeimg/image_builder.hpp"
#include "bladeimg/walk.hpp"
#include "fakes/fake_platform.hpp"
#include "launcher/crc.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

using bladeimg::Kind;
using bladeimg::WalkEnd;
using testing::HasSubstr;
using testing::StartsWith;
using Bytes = std::vector<uint8_t>;
using Args = std::vector<std::string>;

namespace {

Bytes payload_of(size_t n)
{
    Bytes p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 13 + 5);
    return p;
}

Bytes image(uint32_t type, size_t payload, Kind kind = Kind::plain, uint32_t header_length = 0)
{
    return bladeimg::make_image({type, 0x01020304, kind, header_length}, payload_of(payload));
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes first(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<ptrdiff_t>(n)); }

void write_file(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

struct Walked {
    std::vector<bladeimg::WalkedImage> images;
    bladeimg::WalkResult result;
};

Walked walk_bytes(const Bytes& bytes, size_t buffer)
{
    write_file("/tmp/walk.bin", bytes);
    const int fd = ::open("/tmp/walk.bin", O_RDONLY);
    Walked w;
    bladeimg::Reader in(fd, buffer);
    w.result = bladeimg::walk_images(in, [&](const bladeimg::WalkedImage& im) { w.images.push_back(im); });
    ::close(fd);
    return w;
}

// The launcher's own package walk and CRC check: what a file made by the
// tool has to get through on the blade. Returns the images accepted.
size_t launcher_accepts(const Bytes& file)
{
    size_t at = 0, images = 0;
    for (; file.size() - at >= HEADER_PROBE_SIZE; ++images) {
        const ImageGeometry g = image_geometry(&file[at]);
        if (!g.usable || g.total_size > file.size() - at) return 0;
        if (CheckCrc(&file[at + 4], g.total_size - 4, get_be32(&file[at])) != 0) return 0;
        at += g.total_size;
    }
    return at == file.size() ? images : 0;
}

struct Result {
    int status;
    std::string out, err;
};

Result tool(Args args)
{
    args.insert(args.begin(), "bladeimg");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = bladeimg_main(static_cast<int>(args.size()), argv.data());
    std::fflush(stderr);
    Result r{status, testing::internal::GetCapturedStdout(), {}};
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

Bytes hex(std::string text)
{
    std::erase(text, ' ');
    Bytes b;
    for (size_t at = 0; at + 1 < text.size(); at += 2)
        b.push_back(static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
    return b;
}

}  // namespace

TEST(ImageBuilder, ImagesPassTheLaunchersOwnChecks)
{
    const std::pair<Kind, uint32_t> shapes[] = {{Kind::plain, 0}, {Kind::extended, 0}, {Kind::extended, 0xFFFF},
                                                {Kind::hdr3, 0}, {Kind::hdr3, 1000}};
    for (const auto& [kind, header_length] : shapes) {
        for (size_t n : {size_t{8}, size_t{1000}}) {
            SCOPED_TRACE(testing::Message() << "kind " << int(kind) << " header " << header_length << " payload " << n);
            const Bytes im = image(IMAGE_DIAGS, n, kind, header_length);
            ASSERT_EQ(launcher_accepts(im), 1u);
            const ImageGeometry g = image_geometry(im.data());
            EXPECT_EQ(g.kind, static_cast<uint8_t>(kind));
            EXPECT_EQ(g.payload_length, n);
            EXPECT_TRUE(std::equal(im.begin() + g.header_length, im.end(), payload_of(n).begin()));
        }
    }
    // A 20-byte HDR3 header has no room for its length field: the builder must
    // write neither past the image nor over the payload.
    const Bytes short_header = image(IMAGE_KERNEL, 2, Kind::hdr3, 20);
    ASSERT_EQ(short_header.size(), 22u);
    EXPECT_EQ(Bytes(short_header.begin() + 20, short_header.end()), payload_of(2));
}

using PackageWalk = fake::BoardTest;

TEST_F(PackageWalk, EndsTheWayTheLauncherDoes)
{
    const Bytes a = image(IMAGE_KERNEL, 100);
    const Bytes b = image(IMAGE_APPLICATION, 50, Kind::hdr3, 40);
    const Bytes c = image(IMAGE_DFT, 3, Kind::extended);
    Bytes unusable = image(IMAGE_KERNEL, 10, Kind::hdr3);
    put_be16(&unusable[22], 60);  // header longer than len + 16

    struct Case {
        const char* what;
        Bytes file;
        size_t images;
        WalkEnd end;
        uint64_t offset, trailing;
    };
    const Case cases[] = {
        {"empty", {}, 0, WalkEnd::exact, 0, 0},
        {"three kinds back to back", a + b + c, 3, WalkEnd::exact, a.size() + b.size() + c.size(), 0},
        {"23 bytes after the last image", a + Bytes(23, 0xEE), 1, WalkEnd::short_tail, a.size(), 23},
        // Whole, but under 24 bytes: the launcher never reads it.
        {"a 16-byte image at the end", a + image(IMAGE_KERNEL, 0), 1, WalkEnd::short_tail, a.size(), 16},
        {"second image cut short", a + first(b, 30), 1, WalkEnd::cut_short, a.size(), 30},
        {"cut one byte short", a + first(b, b.size() - 1), 1, WalkEnd::cut_short, a.size(), b.size() - 1},
        {"unusable header", a + unusable + c, 1, WalkEnd::unusable, a.size(), unusable.size() + c.size()},
        // Zeros read as plain images of type 0 with an empty payload.
        {"64 zero bytes", Bytes(64, 0), 3, WalkEnd::short_tail, 48, 16},
    };
    for (const auto& t : cases) {
        // Buffers just above a header and odd sizes move every boundary.
        for (size_t buffer : {size_t{24}, size_t{25}, size_t{37}, size_t{4096}}) {
            SCOPED_TRACE(testing::Message() << t.what << ", buffer " << buffer);
            const Walked w = walk_bytes(t.file, buffer);
            EXPECT_EQ(w.images.size(), t.images);
            EXPECT_EQ(w.result.end, t.end);
            EXPECT_EQ(w.result.offset, t.offset);
            EXPECT_EQ(w.result.trailing, t.trailing);
        }
    }
}

TEST_F(PackageWalk, AnyBytesEndTheWalkAndAreAllAccountedFor)
{
    // Random files, with small length fields planted so that runs of images
    // occur, must always end and cover every byte exactly once.
    std::mt19937 rng(99);
    for (int round = 0; round < 200; ++round) {
        Bytes file(static_cast<size_t>(rng() % 600));
        for (auto& byte : file) byte = static_cast<uint8_t>(rng());
        for (size_t at = 0; at + 24 <= file.size(); at += static_cast<size_t>(8 + rng() % 40)) {
            put_be32(&file[at + 4], static_cast<uint32_t>(rng() % 64));
            if (rng() % 2) put_be32(&file[at + 16], HDR3_MARKER);
        }
        const Walked w = walk_bytes(file, static_cast<size_t>(24 + rng() % 100));
        SCOPED_TRACE(round);
        uint64_t at = 0;
        for (const auto& im : w.images) {
            ASSERT_EQ(im.offset, at);
            ASSERT_GE(im.geometry.total_size, 16u);
            at += im.geometry.total_size;
        }
        ASSERT_NE(w.result.end, WalkEnd::read_error);
        EXPECT_EQ(w.result.offset, at);
        EXPECT_EQ(at + w.result.trailing, file.size());
    }
}

using BladeimgCli = fake::BoardTest;

TEST_F(BladeimgCli, CreateWritesHeadersByteForByte)
{
    write_file("/tmp/p", {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
    const std::pair<Args, const char*> cases[] = {  // crc fields from zlib's crc32, inverted
        {{"--type", "kernel", "--version", "1.2.3.4"}, "e2f39162 00000008 03504754 01020304 6162636465666768"},
        {{"--type", "APPLICATION", "--version", "2.0.0.1", "--header", "extended"},
         "f16a6ff0 00000008 81504754 02000001 00000018 00000000 6162636465666768"},
        {{"--type", "Rfs", "--version", "0.0.0.9", "--header", "hdr3", "--header-length", "32"},
         "cd0d41c8 00000018 04504754 00000009 48445233 00000020 00000000 00000000 6162636465666768"},
    };
    for (auto [args, bytes] : cases) {
        args.insert(args.begin(), "create");
        args.insert(args.end(), {"-o", "/tmp/out.img", "/tmp/p"});
        const Result r = tool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file("/tmp/out.img"), hex(bytes));
        EXPECT_EQ(launcher_accepts(read_file("/tmp/out.img")), 1u);
    }

    const std::pair<const char*, uint32_t> types[] = {
        {"Diags", IMAGE_DIAGS}, {"55592788", IMAGE_KERNEL}, {"0X12345678", 0x12345678},
        {"0x81504754", IMAGE_APPLICATION},  // bit 31 belongs to the header kind
    };
    for (const auto& [type, value] : types) {
        ASSERT_EQ(tool({"create", "--type", type, "--version=9.8.7.6", "-o", "/tmp/out.img", "/tmp/p"}).status, 0);
        EXPECT_EQ(get_be32(&read_file("/tmp/out.img")[8]), value) << type;
    }

    // Below 24 bytes the launcher's walk stops before the image: say so.
    write_file("/tmp/p", {'a', 'b', 'c'});
    const Result r = tool({"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "/tmp/out.img", "/tmp/p"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.err, StartsWith("bladeimg: warning: /tmp/out.img: 19 bytes"));
}

TEST_F(BladeimgCli, BadArgumentsExitTwoWithUsage)
{
    write_file("/tmp/p", {1, 2, 3});
    const auto create = [](Args extra) {
        Args args{"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "/tmp/out.img"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const Args cases[] = {
        {},
        {"frobnicate"},
        create({}),
        create({"/tmp/p", "/tmp/p"}),
        {"create", "--version", "1.2.3.4", "-o", "/tmp/out.img", "/tmp/p"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "/tmp/p"},
        {"create", "--type", "kernal", "--version", "1.2.3.4", "-o", "/tmp/out.img", "/tmp/p"},
        {"create", "--type", "0x100000000", "--version", "1.2.3.4", "-o", "/tmp/out.img", "/tmp/p"},
        {"create", "--type", "kernel", "--version", "1.2.3.256", "-o", "/tmp/out.img", "/tmp/p"},
        create({"--header", "hdr4", "/tmp/p"}),
        create({"--header-length", "24", "/tmp/p"}),  // plain is always 16
        create({"--header", "hdr3", "--header-length", "23", "/tmp/p"}),
        create({"--header", "extended", "--header-length", "65536", "/tmp/p"}),
        create({"--type", "rfs", "/tmp/p"}),  // given twice
        create({"/tmp/p", "--header"}),       // value missing
        {"pack", "/tmp/p"},
        {"info", "--json=yes", "/tmp/p"},
        {"verify"},
        {"crc", "/tmp/p", "/tmp/p"},
    };
    for (const auto& args : cases) {
        const std::string shown = testing::PrintToString(args);
        const Result r = tool(args);
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_THAT(r.err, testing::MatchesRegex("bladeimg: .*\nusage: bladeimg .*")) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_FALSE(exists("/tmp/out.img")) << shown;
    }
    for (const Args& args : {Args{"--help"}, Args{"create", "--help"}, Args{"info", "-h"}}) {
        const Result r = tool(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_THAT(r.out, StartsWith("usage: bladeimg "));
    }
}

TEST_F(BladeimgCli, FilesThatCannotBeReadOrWrittenExitOne)
{
    write_file("/tmp/p", {1, 2, 3});
    ::mkdir("/tmp/dir", 0755);
    const Args create = {"create", "--type", "kernel", "--version", "1.2.3.4", "-o"};
    const std::pair<Args, std::string> cases[] = {
        {{"info", "/tmp/missing"}, "bladeimg: /tmp/missing: No such file or directory\n"},
        {{"verify", "/tmp/dir"}, "bladeimg: /tmp/dir: Is a directory\n"},
        {{"crc", "/tmp/dir"}, "bladeimg: /tmp/dir: Is a directory\n"},
        {{"pack", "-o", "/tmp/out.img", "/tmp/missing"}, "bladeimg: /tmp/missing: No such file or directory\n"},
    };
    for (const auto& [args, err] : cases) {
        const Result r = tool(args);
        EXPECT_EQ(r.status, 1) << err;
        EXPECT_EQ(r.err, err);
    }
    const std::pair<std::string, std::string> outputs[] = {
        {"/tmp/no/out.img", "No such file or directory"},
        {"/dev/full", "No space left on device"},  // fails on write, not on open
    };
    for (const auto& [out, reason] : outputs) {
        Args args = create;
        args.insert(args.end(), {out, "/tmp/p"});
        const Result r = tool(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "bladeimg: " + out + ": " + reason + "\n");
    }
}

TEST_F(BladeimgCli, PackJoinsWholeSoundImagesOnly)
{
    const Bytes a = image(IMAGE_UBOOT, 300) + image(IMAGE_KERNEL, 40, Kind::hdr3);
    const Bytes b = image(IMAGE_APPLICATION, 5000, Kind::extended);
    write_file("/tmp/a", a);
    write_file("/tmp/b", b);
    Result r = tool({"pack", "-o", "/tmp/pkg", "/tmp/a", "/tmp/b", "/tmp/a"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file("/tmp/pkg"), a + b + a);
    EXPECT_EQ(launcher_accepts(read_file("/tmp/pkg")), 5u);

    Bytes bad_crc = b;
    bad_crc[100] ^= 0x80;
    write_file("/tmp/bad_crc", bad_crc);
    write_file("/tmp/tail", b + Bytes(10, 0));
    write_file("/tmp/short", first(b, b.size() - 1));
    write_file("/tmp/empty", {});
    const std::pair<const char*, const char*> refused[] = {
        {"/tmp/bad_crc", "bladeimg: /tmp/bad_crc: offset 0: crc mismatch"},
        {"/tmp/tail", "bladeimg: /tmp/tail: offset 5024: 10 trailing bytes"},
        {"/tmp/short", "bladeimg: /tmp/short: offset 0: application image cut short"},
        {"/tmp/empty", "bladeimg: /tmp/empty: offset 0: no image in the file"},
    };
    for (const auto& [path, err] : refused) {
        r = tool({"pack", "-o", "/tmp/out.img", "/tmp/a", path});
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_THAT(r.err, StartsWith(err));
        EXPECT_FALSE(exists("/tmp/out.img")) << path;
    }

    // Writing the package over one of its own images would destroy it.
    r = tool({"pack", "-o", "/tmp/b", "/tmp/a", "/tmp/b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bladeimg: /tmp/b: is also one of the images to pack\n");
    EXPECT_EQ(read_file("/tmp/b"), b);
}

TEST_F(BladeimgCli, VerifyNamesEveryProblemWithItsOffset)
{
    const Bytes k = image(IMAGE_KERNEL, 100);  // 116 bytes
    Bytes bad = k;
    bad[50] ^= 1;
    Bytes wraps = k;
    put_be32(&wraps[4], 0xFFFFFFF8u);
    Bytes beyond = image(IMAGE_RFS, 8, Kind::hdr3);
    put_be16(&beyond[22], 200);
    Bytes too_short = image(IMAGE_RFS, 8, Kind::extended);
    put_be16(&too_short[18], 8);

    const std::pair<Bytes, std::vector<std::string>> cases[] = {
        {k + k, {}},
        {k + bad + Bytes(3, 0),
         {"offset 116: crc mismatch (stored 0x", "offset 232: 3 trailing bytes, shorter than a header"}},
        {k + first(k, 60), {"offset 116: kernel image cut short: 60 of 116 bytes"}},
        {{}, {"offset 0: no image in the file"}},
        {Bytes(40, 0), {"offset 0: crc mismatch", "offset 16: crc mismatch", "offset 32: 8 trailing bytes"}},
        {k + wraps, {"offset 116: unusable header: total size 4294967304 does not fit in 32 bits"}},
        {beyond, {"offset 0: unusable header: header length 200 exceeds len + 16 (32)"}},
        {too_short, {"offset 0: unusable header: header length 8 is shorter than the 16 fixed bytes"}},
    };
    for (const auto& [file, lines] : cases) {
        write_file("/tmp/f", file);
        const Result r = tool({"verify", "/tmp/f"});
        SCOPED_TRACE(r.out);
        EXPECT_EQ(r.status, lines.empty() ? 0 : 1);
        EXPECT_EQ(r.err, "");
        size_t at = 0;
        for (const auto& line : lines) {
            EXPECT_EQ(r.out.compare(at, 8 + line.size(), "/tmp/f: " + line), 0);
            at = r.out.find('\n', at) + 1;
        }
        EXPECT_EQ(at, r.out.size());
    }

    // One bad file among good ones fails the run, and only it is named.
    write_file("/tmp/g", k);
    write_file("/tmp/f", bad);
    const Result r = tool({"verify", "/tmp/g", "/tmp/f", "/tmp/g"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, StartsWith("/tmp/f: offset 0: crc mismatch"));
    EXPECT_EQ(r.out.find("/tmp/g"), std::string::npos);
}

TEST_F(BladeimgCli, InfoListsEachImageAndWhatFollows)
{
    Bytes bad = image(IMAGE_DIAGS, 1000, Kind::extended);
    bad.back() ^= 0xFF;
    write_file("/tmp/f", image(0x07504754, 8) + bad + Bytes(20, 0));
    const Result r = tool({"info", "/tmp/f"});
    ASSERT_EQ(r.status, 0) << r.err;
    char second[200];
    std::snprintf(second, sizeof second,
                  "\n  24          diags        extended  24      1000        1024        1.2.3.4          "
                  "0x%08x  0x%08x  MISMATCH\n",
                  get_be32(bad.data()),
                  gen_crc(bad.data() + 4, static_cast<uint32_t>(bad.size() - 4), 0xFFFFFFFFu));
    EXPECT_THAT(r.out, StartsWith("/tmp/f:\n  offset "));
    EXPECT_THAT(r.out, HasSubstr("\n  0           0x07504754   plain     16      8           24          1.2.3.4  "));
    EXPECT_THAT(r.out, HasSubstr(second));
    EXPECT_THAT(r.out, HasSubstr("\n  end at offset 1048: 20 trailing bytes, shorter than a header (24 bytes)\n"));
}

TEST_F(BladeimgCli, InfoJsonHasOneArrayPerFile)
{
    const Bytes k = image(IMAGE_KERNEL, 8);
    write_file("/tmp/one", k);
    write_file("/tmp/two", k + first(image(IMAGE_UBOOT, 100, Kind::hdr3), 50));
    write_file("/tmp/empty", {});
    const std::string crc = std::to_string(get_be32(k.data()));
    const std::string k_json =
        "  {\"offset\": 0, \"type\": 55592788, \"type_name\": \"kernel\", \"kind\": 1, \"header_length\": 16, "
        "\"payload_length\": 8, \"total_size\": 24, \"version\": 16909060, \"crc_stored\": " + crc +
        ", \"crc_computed\": " + crc + ", \"crc_ok\": true}";

    Result r = tool({"info", "--json", "/tmp/one", "/tmp/two", "/tmp/empty"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[\n" + k_json + "\n]\n[\n" + k_json +
                         ",\n  {\"trailing\": 50, \"offset\": 24, \"reason\": \"uboot image cut short: 50 of 124 "
                         "bytes present\"}\n]\n[]\n");

    // An unreadable file still takes its place, so the arrays line up with the names.
    r = tool({"info", "--json", "/tmp/missing", "/tmp/one"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "null\n[\n" + k_json + "\n]\n");
}

TEST_F(BladeimgCli, CrcIsTheLaunchersOverTheWholeFile)
{
    write_file("/tmp/digits", {'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    write_file("/tmp/empty", {});
    EXPECT_EQ(tool({"crc", "/tmp/digits"}).out, "340bc6d9\n");
    EXPECT_EQ(tool({"crc", "/tmp/empty"}).out, "ffffffff\n");

    // Past the reader's buffer, so that pieces have to chain.
    write_file("/tmp/big", Bytes(300000, 0xA5) + Bytes{'1', '2', '3'});
    EXPECT_EQ(tool({"crc", "/tmp/big"}).out, "ad0cd329\n");  // zlib's crc32, inverted
}

TEST_F(BladeimgCli, FilesPastFourGibibytesAreWalkedWithWideOffsets)
{
    // Sparse, so it costs no disk: one image, a header whose sizes wrap, then
    // a hole. The count of what was not walked must not wrap at 2^31 or 2^32.
    const Bytes k = image(IMAGE_KERNEL, 8);
    Bytes wraps = k;
    put_be32(&wraps[4], 0xFFFFFFFFu);
    write_file("/tmp/huge", k + wraps);
    const off_t size = (off_t{1} << 32) + 40;
    ASSERT_EQ(::truncate("/tmp/huge", size), 0);

    const Result r = tool({"info", "--json", "/tmp/huge"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("{\"trailing\": " + std::to_string(size - 24) + ", \"offset\": 24, "));
}
