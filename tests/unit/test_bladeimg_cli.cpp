// The bladeimg command line, run in-process on files in the sandbox's /tmp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bladeimg/cli.hpp"
#include "bladeimg/image_builder.hpp"
#include "fakes/fake_platform.hpp"
#include "launcher/crc.hpp"
#include "launcher/image.hpp"

using testing::HasSubstr;
using testing::StartsWith;
using Bytes = std::vector<uint8_t>;

namespace {

struct Result {
    int status;
    std::string out, err;
};

Result tool(std::vector<std::string> args)
{
    args.insert(args.begin(), "bladeimg");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = bladeimg_main(static_cast<int>(args.size()), argv.data());
    std::fflush(stderr);
    Result r{status, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    return r;
}

void write_file(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
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

Bytes image(uint32_t type, size_t payload, bladeimg::Kind kind = bladeimg::Kind::plain)
{
    Bytes p(payload);
    for (size_t i = 0; i < payload; ++i) p[i] = static_cast<uint8_t>(i * 13 + 5);
    return bladeimg::make_image({type, 0x01020304, kind, 0}, p);
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The launcher's package walk and CRC check, from its own routines: what a
// file made by the tool has to get through on the blade.
size_t launcher_accepts(const Bytes& file)
{
    size_t at = 0, images = 0;
    while (file.size() - at >= HEADER_PROBE_SIZE) {
        uint32_t magic = 0, header_length = 0, payload_length = 0;
        uint8_t kind = 0;
        parse_header(&file[at], &magic, &kind, &header_length, &payload_length);
        const ImageGeometry g = image_geometry(&file[at]);
        if (!g.usable || g.total_size > file.size() - at) return 0;
        if (CheckCrc(&file[at + 4], g.total_size - 4, get_be32(&file[at])) != 0) return 0;
        at += g.total_size;
        ++images;
    }
    return at == file.size() ? images : 0;
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

using BladeimgCli = fake::BoardTest;

TEST_F(BladeimgCli, CreateWritesHeadersByteForByte)
{
    write_file("/tmp/abc", {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
    struct Case {
        std::vector<std::string> args;
        const char* bytes;  // crc computed independently (zlib's crc32, inverted)
    };
    const Case cases[] = {
        {{"--type", "kernel", "--version", "1.2.3.4"}, "e2f39162 00000008 03504754 01020304 6162636465666768"},
        {{"--type", "APPLICATION", "--version", "2.0.0.1", "--header", "extended"},
         "f16a6ff0 00000008 81504754 02000001 00000018 00000000 6162636465666768"},
        {{"--type", "Rfs", "--version", "0.0.0.9", "--header", "hdr3", "--header-length", "32"},
         "cd0d41c8 00000018 04504754 00000009 48445233 00000020 00000000 00000000 6162636465666768"},
    };
    for (const auto& c : cases) {
        auto args = c.args;
        args.insert(args.begin(), "create");
        args.insert(args.end(), {"-o", "/tmp/out.img", "/tmp/abc"});
        const Result r = tool(args);
        SCOPED_TRACE(c.bytes);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const Bytes made = read_file("/tmp/out.img");
        EXPECT_EQ(made, hex(c.bytes));
        EXPECT_EQ(launcher_accepts(made), 1u);
    }

    // Below 24 bytes the launcher's walk stops before the image: say so.
    write_file("/tmp/abc", {'a', 'b', 'c'});
    const Result r = tool({"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "/tmp/out.img", "/tmp/abc"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.err, StartsWith("bladeimg: warning: /tmp/out.img: 19 bytes"));
    EXPECT_EQ(read_file("/tmp/out.img").size(), 19u);
}

TEST_F(BladeimgCli, CreateTakesTypesByNameOrNumber)
{
    write_file("/tmp/p", Bytes(100, 0x5A));
    const std::pair<const char*, uint32_t> cases[] = {
        {"uboot", IMAGE_UBOOT},        {"DFT", IMAGE_DFT},          {"Diags", IMAGE_DIAGS},
        {"55592788", IMAGE_KERNEL},    {"0x04504754", IMAGE_RFS},   {"0X12345678", 0x12345678},
        {"0", 0},                      {"0x81504754", IMAGE_APPLICATION},  // bit 31 belongs to the header kind
    };
    for (const auto& [type, value] : cases) {
        const Result r = tool({"create", "--type", type, "--version=9.8.7.6", "-o", "/tmp/out.img", "/tmp/p"});
        ASSERT_EQ(r.status, 0) << type << ": " << r.err;
        const Bytes made = read_file("/tmp/out.img");
        EXPECT_EQ(get_be32(&made[8]), value) << type;
        EXPECT_EQ(get_be32(&made[12]), 0x09080706u);
        EXPECT_EQ(launcher_accepts(made), 1u) << type;
    }
}

TEST_F(BladeimgCli, BadArgumentsExitTwoWithUsage)
{
    write_file("/tmp/p", {1, 2, 3});
    const std::vector<std::string> base = {"--type", "kernel", "--version", "1.2.3.4", "-o", "/tmp/out.img"};
    const auto create = [&](std::vector<std::string> extra, bool with_base = true) {
        std::vector<std::string> args{"create"};
        if (with_base) args.insert(args.end(), base.begin(), base.end());
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"--version"},
        create({}),                                      // no payload
        create({"/tmp/p", "/tmp/p"}),                    // two payloads
        create({"--version", "1.2.3.4", "-o", "/tmp/out.img", "/tmp/p"}, false),
        create({"--type", "kernel", "-o", "/tmp/out.img", "/tmp/p"}, false),
        create({"--type", "kernel", "--version", "1.2.3.4", "/tmp/p"}, false),
        create({"--type", "kernal", "--version", "1.2.3.4", "-o", "/tmp/out.img", "/tmp/p"}, false),
        create({"--type", "0x100000000", "--version", "1.2.3.4", "-o", "/tmp/out.img", "/tmp/p"}, false),
        create({"--type", "-1", "--version", "1.2.3.4", "-o", "/tmp/out.img", "/tmp/p"}, false),
        create({"--type", "kernel", "--version", "1.2.3.256", "-o", "/tmp/out.img", "/tmp/p"}, false),
        create({"--header", "hdr4", "/tmp/p"}),
        create({"--header-length", "24", "/tmp/p"}),     // plain is always 16
        create({"--header", "plain", "--header-length", "16", "/tmp/p"}),
        create({"--header", "hdr3", "--header-length", "23", "/tmp/p"}),
        create({"--header", "extended", "--header-length", "65536", "/tmp/p"}),
        create({"--header", "extended", "--header-length", "2x", "/tmp/p"}),
        create({"--type", "rfs", "/tmp/p"}),             // given twice
        create({"--bogus", "/tmp/p"}),
        create({"/tmp/p", "--header"}),                  // value missing
        {"pack", "/tmp/p"},
        {"pack", "-o", "/tmp/out.img"},
        {"info"},
        {"info", "--json=yes", "/tmp/p"},
        {"verify"},
        {"crc"},
        {"crc", "/tmp/p", "/tmp/p"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args) shown += a + ' ';
        const Result r = tool(args);
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_THAT(r.err, StartsWith("bladeimg: ")) << shown;
        EXPECT_THAT(r.err, HasSubstr("usage: bladeimg")) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_FALSE(exists("/tmp/out.img")) << shown;
    }
}

TEST_F(BladeimgCli, HelpGoesToStandardOutput)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"help"}, {"create", "--help"}, {"info", "-h"}, {"crc", "--help"}}) {
        const Result r = tool(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_THAT(r.out, StartsWith("usage: bladeimg "));
        EXPECT_EQ(r.err, "");
    }
    EXPECT_THAT(tool({"create", "--help"}).out, HasSubstr("--header-length"));
}

TEST_F(BladeimgCli, FilesThatCannotBeReadOrWrittenExitOne)
{
    write_file("/tmp/p", {1, 2, 3});
    ::mkdir("/tmp/dir", 0755);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "/tmp/out.img", "/tmp/missing"},
         "bladeimg: /tmp/missing: No such file or directory\n"},
        {{"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "/tmp/no/out.img", "/tmp/p"},
         "bladeimg: /tmp/no/out.img: No such file or directory\n"},
        {{"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "/dev/full", "/tmp/p"},
         "bladeimg: /dev/full: No space left on device\n"},
        {{"info", "/tmp/missing"}, "bladeimg: /tmp/missing: No such file or directory\n"},
        {{"verify", "/tmp/dir"}, "bladeimg: /tmp/dir: Is a directory\n"},
        {{"crc", "/tmp/dir"}, "bladeimg: /tmp/dir: Is a directory\n"},
        {{"pack", "-o", "/tmp/out.img", "/tmp/missing"}, "bladeimg: /tmp/missing: No such file or directory\n"},
    };
    for (const auto& [args, err] : cases) {
        const Result r = tool(args);
        EXPECT_EQ(r.status, 1) << err;
        EXPECT_EQ(r.err, err);
        EXPECT_FALSE(exists("/tmp/out.img")) << err;
    }
}

TEST_F(BladeimgCli, PackJoinsWholeSoundImagesOnly)
{
    const Bytes a = image(IMAGE_UBOOT, 300) + image(IMAGE_KERNEL, 40, bladeimg::Kind::hdr3);
    const Bytes b = image(IMAGE_APPLICATION, 5000, bladeimg::Kind::extended);
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
    write_file("/tmp/short", Bytes(b.begin(), b.end() - 1));
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
    Bytes beyond = image(IMAGE_RFS, 8, bladeimg::Kind::hdr3);
    put_be16(&beyond[22], 200);  // header length past the total size

    struct Case {
        const char* what;
        Bytes file;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"good", k + k, {}},
        {"second crc bad, then a tail",
         k + bad + Bytes(3, 0),
         {"/tmp/f: offset 116: crc mismatch (stored 0x", "/tmp/f: offset 232: 3 trailing bytes, shorter than a header"}},
        {"cut short", k + Bytes(k.begin(), k.begin() + 60), {"/tmp/f: offset 116: kernel image cut short: 60 of 116 bytes"}},
        {"empty", {}, {"/tmp/f: offset 0: no image in the file"}},
        {"zero sizes", Bytes(40, 0), {"/tmp/f: offset 0: crc mismatch", "/tmp/f: offset 16: crc mismatch",
                                      "/tmp/f: offset 32: 8 trailing bytes"}},
        {"len wraps", k + wraps, {"/tmp/f: offset 116: unusable header: total size 4294967304 does not fit in 32 bits"}},
        {"header beyond total", beyond, {"/tmp/f: offset 0: unusable header: header length 200 exceeds len + 16 (32)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file("/tmp/f", c.file);
        const Result r = tool({"verify", "/tmp/f"});
        EXPECT_EQ(r.status, c.lines.empty() ? 0 : 1);
        EXPECT_EQ(r.err, "");
        std::vector<std::string> got;
        for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
            got.push_back(r.out.substr(at, nl - at));
        ASSERT_EQ(got.size(), c.lines.size()) << r.out;
        for (size_t i = 0; i < got.size(); ++i) EXPECT_THAT(got[i], StartsWith(c.lines[i]));
    }

    // One bad file among good ones fails the whole run, and only it is named.
    write_file("/tmp/g", k);
    write_file("/tmp/f", bad);
    const Result r = tool({"verify", "/tmp/g", "/tmp/f", "/tmp/g"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, StartsWith("/tmp/f: offset 0: crc mismatch"));
    EXPECT_EQ(r.out.find("/tmp/g"), std::string::npos);
}

TEST_F(BladeimgCli, InfoListsEachImageAndWhatFollows)
{
    Bytes bad = image(IMAGE_DIAGS, 1000, bladeimg::Kind::extended);
    bad.back() ^= 0xFF;
    write_file("/tmp/f", image(0x07504754, 8) + bad + Bytes(20, 0));
    const Result r = tool({"info", "/tmp/f"});
    ASSERT_EQ(r.status, 0) << r.err;
    const uint32_t stored = get_be32(bad.data());
    const uint32_t computed = gen_crc(bad.data() + 4, static_cast<uint32_t>(bad.size() - 4), 0xFFFFFFFFu);
    char second[200];
    std::snprintf(second, sizeof second,
                  "  24          diags        extended  24      1000        1024        1.2.3.4          0x%08x  0x%08x  "
                  "MISMATCH\n",
                  stored, computed);
    EXPECT_THAT(r.out, StartsWith("/tmp/f:\n  offset "));
    EXPECT_THAT(r.out, HasSubstr("\n  0           0x07504754   plain     16      8           24          1.2.3.4  "));
    EXPECT_THAT(r.out, HasSubstr(second));
    EXPECT_THAT(r.out, HasSubstr("  end at offset 1048: 20 trailing bytes, shorter than a header (24 bytes)\n"));
}

TEST_F(BladeimgCli, InfoJsonHasOneArrayPerFile)
{
    const Bytes k = image(IMAGE_KERNEL, 8);
    write_file("/tmp/one", k);
    Bytes cut = image(IMAGE_UBOOT, 100, bladeimg::Kind::hdr3);
    cut.resize(50);
    write_file("/tmp/two", k + cut);
    write_file("/tmp/empty", {});
    const uint32_t crc = get_be32(k.data());
    const std::string k_json =
        "  {\"offset\": 0, \"type\": 55592788, \"type_name\": \"kernel\", \"kind\": 1, \"header_length\": 16, "
        "\"payload_length\": 8, \"total_size\": 24, \"version\": 16909060, \"crc_stored\": " +
        std::to_string(crc) + ", \"crc_computed\": " + std::to_string(crc) + ", \"crc_ok\": true}";

    const Result r = tool({"info", "--json", "/tmp/one", "/tmp/two", "/tmp/empty"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[\n" + k_json + "\n]\n" +
                         "[\n" + k_json +
                         ",\n  {\"trailing\": 50, \"offset\": 24, \"reason\": \"uboot image cut short: 50 of 124 "
                         "bytes present\"}\n]\n"
                         "[]\n");

    // An unreadable file still takes its place, so the arrays line up with the names.
    const Result missing = tool({"info", "--json", "/tmp/missing", "/tmp/one"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "null\n[\n" + k_json + "\n]\n");
}

TEST_F(BladeimgCli, CrcIsTheLaunchersOverTheWholeFile)
{
    write_file("/tmp/digits", {'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    write_file("/tmp/empty", {});
    EXPECT_EQ(tool({"crc", "/tmp/digits"}).out, "340bc6d9\n");
    EXPECT_EQ(tool({"crc", "/tmp/empty"}).out, "ffffffff\n");

    // Past the reader's buffer, so that pieces have to chain.
    Bytes big(700000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i ^ (i >> 9));
    write_file("/tmp/big", big);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%08x\n", gen_crc(big.data(), static_cast<uint32_t>(big.size()), 0xFFFFFFFFu));
    EXPECT_EQ(tool({"crc", "/tmp/big"}).out, expected);
}

TEST_F(BladeimgCli, FilesPastFourGibibytesAreWalkedWithWideOffsets)
{
    // Sparse, so it costs no disk: one image, then a header whose sizes wrap,
    // then a hole. The walk has to count every byte past 2^32 to say so.
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
