// The image builder, the package walk and the bladeimg command line, run
// in-process on files in the sandbox's /tmp.
#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <random>
#include <sstream>

#include "bladeimg/cli.hpp"
#include "bladeimg/walk.hpp"
#include "launcher/crc.hpp"
#include "support.hpp"

using namespace unit;
using bladeimg::Kind;
using bladeimg::WalkEnd;
using testing::HasSubstr;
using testing::StartsWith;
using Args = std::vector<std::string>;

namespace {

Bytes payload_of(size_t n)
{
    Bytes p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 13 + 5);
    return p;
}

Bytes img(uint32_t type, size_t payload, Kind kind = Kind::plain, uint32_t header_length = 0)
{
    return bladeimg::make_image({type, 0x01020304, kind, header_length}, payload_of(payload));
}

Bytes first(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<ptrdiff_t>(n)); }

Bytes hex(const std::string& text)
{
    Bytes b;
    for (size_t at = 0; at + 1 < text.size(); at += 2 + (text[at + 2] == ' '))
        b.push_back(static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
    return b;
}

Outcome tool(const std::string& line)
{
    std::istringstream words(line);
    Args args{"bladeimg"};
    args.insert(args.end(), std::istream_iterator<std::string>(words), {});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return run([&] { return bladeimg_main(static_cast<int>(args.size()), argv.data()); });
}

// As many lines as `want` has, each starting with its own.
void expect_lines(const std::string& text, const std::string& want)
{
    std::istringstream t(text), w(want);
    for (std::string a, b; std::getline(w, b);) EXPECT_TRUE(std::getline(t, a) && a.starts_with(b)) << a << "|" << b;
    EXPECT_EQ(t.peek(), EOF) << text;
}

}  // namespace

TEST(ImageBuilder, ImagesPassTheLaunchersOwnChecks)
{
    for (auto [kind, length] : {std::pair{Kind::plain, 0u}, {Kind::extended, 0xFFFFu}, {Kind::hdr3, 1000u}}) {
        const Bytes im = img(IMAGE_DIAGS, 1000, kind, length);
        const ImageGeometry g = image_geometry(im.data());
        // What the launcher checks before it takes an image.
        EXPECT_TRUE(g.usable && g.total_size == im.size() && g.kind == static_cast<uint8_t>(kind));
        EXPECT_EQ(CheckCrc(im.data() + 4, g.total_size - 4, get_be32(im.data())), 0);
        EXPECT_EQ(Bytes(im.begin() + g.header_length, im.end()), payload_of(1000));
    }
    // A 20-byte HDR3 header has no room for its length field: the builder must
    // write neither past the image nor over the payload.
    const Bytes short_header = img(IMAGE_KERNEL, 2, Kind::hdr3, 20);
    EXPECT_EQ(short_header.size(), 22u);
    EXPECT_EQ(Bytes(short_header.begin() + 20, short_header.end()), payload_of(2));
}

using PackageWalk = fake::BoardTest;

TEST_F(PackageWalk, EndsTheWayTheLauncherDoes)
{
    const Bytes a = img(IMAGE_KERNEL, 100), b = img(IMAGE_APPLICATION, 50, Kind::hdr3, 40);
    const Bytes c = img(IMAGE_DFT, 3, Kind::extended);
    Bytes unusable = img(IMAGE_KERNEL, 10, Kind::hdr3);
    put_be16(&unusable[22], 60);  // header longer than len + 16
    const struct {
        Bytes file;
        uint64_t images;
        WalkEnd end;
        uint64_t offset;  // the bytes from there on are the trailing ones
    } cases[] = {
        {{}, 0, WalkEnd::exact, 0},
        {a + b + c, 3, WalkEnd::exact, a.size() + b.size() + c.size()},
        {a + Bytes(23, 0xEE), 1, WalkEnd::short_tail, a.size()},
        {a + img(IMAGE_KERNEL, 0), 1, WalkEnd::short_tail, a.size()},  // whole, but under 24 bytes
        {a + first(b, b.size() - 1), 1, WalkEnd::cut_short, a.size()},
        {a + unusable + c, 1, WalkEnd::unusable, a.size()},
        {Bytes(64, 0), 3, WalkEnd::short_tail, 48},  // plain images of type 0, empty
    };
    // Random files with small length fields planted, so that runs of images
    // occur, must end too, and cover every byte exactly once.
    std::mt19937 rng(99);
    for (size_t round = 0; round < 200 + std::size(cases); ++round) {
        Bytes file(static_cast<size_t>(rng() % 600));
        for (auto& byte : file) byte = static_cast<uint8_t>(rng());
        for (size_t at = 0; at + 24 <= file.size(); at += static_cast<size_t>(8 + rng() % 40)) {
            put_be32(&file[at + 4], static_cast<uint32_t>(rng() % 64));
            if (rng() % 2) put_be32(&file[at + 16], HDR3_MARKER);
        }
        const bool known = round < std::size(cases);
        if (known) file = cases[round].file;
        // Buffers just above a header and odd sizes move every boundary.
        for (size_t buffer : {size_t{24}, size_t{37}, size_t{24 + rng() % 100}, size_t{4096}}) {
            SCOPED_TRACE(testing::Message() << "round " << round << ", buffer " << buffer);
            write_file("/tmp/walk.bin", file);
            const int fd = ::open("/tmp/walk.bin", O_RDONLY);
            bladeimg::Reader in(fd, buffer);
            uint64_t at = 0, images = 0;
            const auto r = bladeimg::walk_images(in, [&](const bladeimg::WalkedImage& im) {
                EXPECT_EQ(im.offset, at);
                EXPECT_GE(im.geometry.total_size, 16u);
                at += im.geometry.total_size, ++images;
            });
            ::close(fd);
            EXPECT_NE(r.end, WalkEnd::read_error);
            EXPECT_EQ(r.offset, at);
            EXPECT_EQ(at + r.trailing, file.size());
            if (!known) continue;
            EXPECT_EQ(images, cases[round].images);
            EXPECT_EQ(r.end, cases[round].end);
            EXPECT_EQ(r.offset, cases[round].offset);
        }
    }
}

using BladeimgCli = fake::BoardTest;

TEST_F(BladeimgCli, BadArgumentsExitTwoWithUsage)
{
    const std::string create = "create --type kernel --version 1.2.3.4 -o /tmp/out.img ";
    const std::string cases[] = {
        "", "frobnicate", "pack /tmp/p", "info --json=yes /tmp/p", "verify", "crc /tmp/p /tmp/p",
        "create --version 1.2.3.4 -o /tmp/out.img /tmp/p", "create --type kernel --version 1.2.3.4 /tmp/p",
        "create --type kernal --version 1.2.3.4 -o /tmp/out.img /tmp/p",
        "create --type 0x100000000 --version 1.2.3.4 -o /tmp/out.img /tmp/p",
        "create --type kernel --version 1.2.3.256 -o /tmp/out.img /tmp/p", create, create + "/tmp/p /tmp/p",
        create + "--header hdr4 /tmp/p", create + "--header-length 24 /tmp/p",  // plain is always 16
        create + "--header hdr3 --header-length 23 /tmp/p", create + "--header extended --header-length 65536 /tmp/p",
        create + "--type rfs /tmp/p",  // given twice
        create + "/tmp/p --header",    // value missing
    };
    write_file("/tmp/p", "abc");
    for (const auto& line : cases) {
        const Outcome r = tool(line);
        EXPECT_EQ(r.result, 2) << line;
        EXPECT_THAT(r.err, testing::MatchesRegex("bladeimg: .*\nusage: bladeimg .*")) << line;
        EXPECT_EQ(r.out + read_file("/tmp/out.img"), "") << line;
    }
    for (const char* line : {"--help", "create --help", "info -h"}) {
        EXPECT_EQ(tool(line).result, 0);
        EXPECT_THAT(tool(line).out, StartsWith("usage: bladeimg "));
    }
}

// Every file command on files good and bad: the exit status, each line of
// both streams, and what /tmp/out.img holds after (nothing, on a failure).
TEST_F(BladeimgCli, FilesGoodAndBad)
{
    const Bytes k = img(IMAGE_KERNEL, 100);  // 116 bytes
    const Bytes a = img(IMAGE_UBOOT, 300) + img(IMAGE_KERNEL, 40, Kind::hdr3);
    const Bytes b = img(IMAGE_APPLICATION, 5000, Kind::extended);
    Bytes bad = k, wraps = k, beyond = img(IMAGE_RFS, 8, Kind::hdr3), too_short = img(IMAGE_RFS, 8, Kind::extended);
    bad[50] ^= 1;
    put_be32(&wraps[4], 0xFFFFFFF8u);
    put_be16(&beyond[22], 200);
    put_be16(&too_short[18], 8);
    const std::pair<const char*, Bytes> files[] = {
        {"a", a}, {"b", b}, {"k", k}, {"bad", bad}, {"empty", {}}, {"digits", bytes("123456789")},
        {"p", bytes("abcdefgh")}, {"abc", bytes("abc")}, {"tail", b + Bytes(10, 0)}, {"short", first(b, b.size() - 1)},
        {"big", Bytes(300000, 0xA5) + bytes("123")},  // past the reader's buffer: pieces must chain
        {"kk", k + k}, {"bad3", k + bad + Bytes(3, 0)}, {"cut", k + first(k, 60)}, {"zeros", Bytes(40, 0)},
        {"wraps", k + wraps}, {"beyond", beyond}, {"too_short", too_short},
    };
    for (const auto& [name, content] : files) write_file(std::string("/tmp/") + name, content);
    std::filesystem::create_directory("/tmp/dir");
    const std::string create = "create --type kernel --version 1.2.3.4 -o ", pack = "pack -o /tmp/out.img /tmp/a ";
    const std::tuple<std::string, int, std::string, std::string, Bytes> cases[] = {
        // Headers byte for byte; crc fields from zlib's crc32, inverted.
        {create + "/tmp/out.img /tmp/p", 0, "", "", hex("e2f39162 00000008 03504754 01020304 6162636465666768")},
        {"create --type APPLICATION --version 2.0.0.1 --header extended -o /tmp/out.img /tmp/p", 0, "", "",
         hex("f16a6ff0 00000008 81504754 02000001 00000018 00000000 6162636465666768")},
        {"create --type Rfs --version 0.0.0.9 --header hdr3 --header-length 32 -o /tmp/out.img /tmp/p", 0, "", "",
         hex("cd0d41c8 00000018 04504754 00000009 48445233 00000020 00000000 00000000 6162636465666768")},
        {"create --type Diags --version=9.8.7.6 -o /tmp/out.img /tmp/p", 0, "", "",
         hex("5b14eaf2 00000008 06504754 09080706 6162636465666768")},
        {"create --type 55592788 --version=9.8.7.6 -o /tmp/out.img /tmp/p", 0, "", "",
         hex("214d37e4 00000008 03504754 09080706 6162636465666768")},
        {"create --type 0X12345678 --version=9.8.7.6 -o /tmp/out.img /tmp/p", 0, "", "",
         hex("7339977f 00000008 12345678 09080706 6162636465666768")},
        // Bit 31 belongs to the header kind.
        {"create --type 0x81504754 --version=9.8.7.6 -o /tmp/out.img /tmp/p", 0, "", "",
         hex("a6ed1287 00000008 01504754 09080706 6162636465666768")},
        // Below 24 bytes the launcher's walk stops before the image: say so.
        {create + "/tmp/out.img /tmp/abc", 0, "", "bladeimg: warning: /tmp/out.img: 19 bytes",
         hex("fdc382bb 00000003 03504754 01020304 616263")},
        {create + "/tmp/no/out.img /tmp/k", 1, "", "bladeimg: /tmp/no/out.img: No such file or directory", {}},
        {create + "/dev/full /tmp/k", 1, "", "bladeimg: /dev/full: No space left on device", {}},  // on write
        {"info /tmp/missing", 1, "", "bladeimg: /tmp/missing: No such file or directory", {}},
        {"verify /tmp/dir", 1, "", "bladeimg: /tmp/dir: Is a directory", {}},
        {"crc /tmp/dir", 1, "", "bladeimg: /tmp/dir: Is a directory", {}},
        {"pack -o /tmp/out.img /tmp/missing", 1, "", "bladeimg: /tmp/missing: No such file or directory", {}},
        {pack + "/tmp/bad", 1, "", "bladeimg: /tmp/bad: offset 0: crc mismatch", {}},
        {pack + "/tmp/tail", 1, "", "bladeimg: /tmp/tail: offset 5024: 10 trailing bytes", {}},
        {pack + "/tmp/short", 1, "", "bladeimg: /tmp/short: offset 0: application image cut short", {}},
        {pack + "/tmp/empty", 1, "", "bladeimg: /tmp/empty: offset 0: no image in the file", {}},
        // Writing the package over one of its own images would destroy it.
        {"pack -o /tmp/b /tmp/a /tmp/b", 1, "", "bladeimg: /tmp/b: is also one of the images to pack", {}},
        {pack + "/tmp/b /tmp/a", 0, "", "", a + b + a},
        {"verify /tmp/kk /tmp/a", 0, "", "", {}},
        {"verify /tmp/bad3", 1,
         "/tmp/bad3: offset 116: crc mismatch (stored 0x\n/tmp/bad3: offset 232: 3 trailing bytes, shorter than a header",
         "", {}},
        {"verify /tmp/cut", 1, "/tmp/cut: offset 116: kernel image cut short: 60 of 116 bytes", "", {}},
        {"verify /tmp/empty", 1, "/tmp/empty: offset 0: no image in the file", "", {}},
        {"verify /tmp/zeros", 1,
         "/tmp/zeros: offset 0: crc mismatch\n/tmp/zeros: offset 16: crc mismatch\n/tmp/zeros: offset 32: 8 trailing",
         "", {}},
        {"verify /tmp/wraps", 1, "/tmp/wraps: offset 116: unusable header: total size 4294967304 does not fit", "", {}},
        {"verify /tmp/beyond", 1, "/tmp/beyond: offset 0: unusable header: header length 200 exceeds len + 16 (32)",
         "", {}},
        {"verify /tmp/too_short", 1,
         "/tmp/too_short: offset 0: unusable header: header length 8 is shorter than the 16 fixed bytes", "", {}},
        // One bad file among good ones fails the run, and only it is named.
        {"verify /tmp/k /tmp/bad /tmp/k", 1, "/tmp/bad: offset 0: crc mismatch", "", {}},
        {"crc /tmp/digits", 0, "340bc6d9", "", {}},
        {"crc /tmp/empty", 0, "ffffffff", "", {}},
        {"crc /tmp/big", 0, "ad0cd329", "", {}},  // zlib's crc32, inverted
    };
    for (const auto& [line, status, out, err, made] : cases) {
        std::filesystem::remove("/tmp/out.img");
        SCOPED_TRACE(line);
        const Outcome r = tool(line);
        EXPECT_EQ(r.result, status);
        expect_lines(r.out, out);
        expect_lines(r.err, err);
        EXPECT_EQ(bytes(read_file("/tmp/out.img")), made);
    }
    EXPECT_EQ(bytes(read_file("/tmp/b")), b);
}

TEST_F(BladeimgCli, InfoListsEachImageAndWhatFollows)
{
    Bytes bad = img(IMAGE_DIAGS, 1000, Kind::extended);
    bad.back() ^= 0xFF;
    write_file("/tmp/f", img(0x07504754, 8) + bad + Bytes(20, 0));
    const Outcome r = tool("info /tmp/f");
    EXPECT_EQ(r.result, 0);
    char second[200];
    std::snprintf(second, sizeof second,
                  "\n  24          diags        extended  24      1000        1024        1.2.3.4          "
                  "0x%08x  0x%08x  MISMATCH\n",
                  get_be32(bad.data()), gen_crc(bad.data() + 4, static_cast<uint32_t>(bad.size() - 4), 0xFFFFFFFFu));
    EXPECT_THAT(r.out, StartsWith("/tmp/f:\n  offset "));
    EXPECT_THAT(r.out, HasSubstr("\n  0           0x07504754   plain     16      8           24          1.2.3.4  "));
    EXPECT_THAT(r.out, HasSubstr(second));
    EXPECT_THAT(r.out, HasSubstr("\n  end at offset 1048: 20 trailing bytes, shorter than a header (24 bytes)\n"));
}

TEST_F(BladeimgCli, InfoJsonHasOneArrayPerFileWithWideOffsets)
{
    const Bytes k = img(IMAGE_KERNEL, 8);
    Bytes wraps = k;
    put_be32(&wraps[4], 0xFFFFFFFFu);
    write_file("/tmp/one", k);
    write_file("/tmp/two", k + first(img(IMAGE_UBOOT, 100, Kind::hdr3), 50));
    write_file("/tmp/empty", Bytes{});
    // Sparse, so it costs no disk: an image, a header whose sizes wrap, then
    // a hole. The count of what was not walked must not wrap at 2^31 or 2^32.
    write_file("/tmp/huge", k + wraps);
    const off_t size = (off_t{1} << 32) + 40;
    ASSERT_EQ(::truncate("/tmp/huge", size), 0);
    const std::string crc = std::to_string(get_be32(k.data()));
    const std::string k_json =
        "[\n  {\"offset\": 0, \"type\": 55592788, \"type_name\": \"kernel\", \"kind\": 1, \"header_length\": 16, "
        "\"payload_length\": 8, \"total_size\": 24, \"version\": 16909060, \"crc_stored\": " + crc +
        ", \"crc_computed\": " + crc + ", \"crc_ok\": true}";

    Outcome r = tool("info --json /tmp/one /tmp/two /tmp/empty /tmp/huge");
    EXPECT_EQ(r.result, 0) << r.err;
    EXPECT_THAT(r.out, StartsWith(k_json + "\n]\n" + k_json +
                         ",\n  {\"trailing\": 50, \"offset\": 24, \"reason\": \"uboot image cut short: 50 of 124 "
                         "bytes present\"}\n]\n[]\n" + k_json + ",\n  {\"trailing\": " + std::to_string(size - 24) +
                         ", \"offset\": 24, \"reason\": \"unusable header: "));
    // An unreadable file still takes its place, so the arrays line up with the names.
    r = tool("info --json /tmp/missing /tmp/one");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, "null\n" + k_json + "\n]\n");
}
