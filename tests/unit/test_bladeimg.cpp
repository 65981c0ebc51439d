// The image builder and the package walk behind the bladeimg tool.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bladeimg/image_builder.hpp"
#include "bladeimg/walk.hpp"
#include "fakes/fake_platform.hpp"
#include "launcher/crc.hpp"
#include "launcher/image.hpp"

using bladeimg::ImageSpec;
using bladeimg::Kind;
using bladeimg::WalkEnd;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes payload_of(size_t n, uint8_t seed = 1)
{
    Bytes p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(seed + i * 7);
    return p;
}

Bytes image(Kind kind, size_t payload, uint32_t type = IMAGE_KERNEL, uint32_t header_length = 0)
{
    return bladeimg::make_image({type, 0x01020304, kind, header_length}, payload_of(payload));
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes first(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<ptrdiff_t>(n)); }

struct Walked {
    std::vector<bladeimg::WalkedImage> images;
    bladeimg::WalkResult result;
};

Walked walk_fd(int fd, size_t buffer)
{
    Walked w;
    bladeimg::Reader in(fd, buffer);
    w.result = bladeimg::walk_images(in, [&](const bladeimg::WalkedImage& im) { w.images.push_back(im); });
    return w;
}

Walked walk_bytes(const Bytes& bytes, size_t buffer)
{
    FILE* f = std::fopen("/tmp/walk.bin", "wb");
    EXPECT_NE(f, nullptr);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    const int fd = ::open("/tmp/walk.bin", O_RDONLY);
    Walked w = walk_fd(fd, buffer);
    ::close(fd);
    return w;
}

}  // namespace

TEST(ImageBuilder, ImagesPassTheLaunchersOwnChecks)
{
    struct Case {
        Kind kind;
        uint32_t header_length;
    };
    const Case cases[] = {{Kind::plain, 0}, {Kind::extended, 0}, {Kind::extended, 40}, {Kind::hdr3, 0},
                          {Kind::hdr3, 1000}, {Kind::extended, 0xFFFF}};
    for (const auto& c : cases) {
        for (size_t n : {size_t{0}, size_t{1}, size_t{1000}}) {
            SCOPED_TRACE(testing::Message() << "kind " << int(c.kind) << " header " << c.header_length << " payload " << n);
            const Bytes im = image(c.kind, n, IMAGE_DIAGS, c.header_length);
            std::array<uint8_t, HEADER_PROBE_SIZE> probe{};
            std::copy_n(im.begin(), std::min(im.size(), probe.size()), probe.begin());
            const ImageGeometry g = image_geometry(probe.data());
            ASSERT_TRUE(g.usable);
            EXPECT_EQ(g.kind, static_cast<uint8_t>(c.kind));
            EXPECT_EQ(g.type, IMAGE_DIAGS);
            EXPECT_EQ(g.header_length, c.header_length ? c.header_length : bladeimg::default_header_length(c.kind));
            EXPECT_EQ(g.payload_length, n);
            EXPECT_EQ(g.total_size, im.size());
            EXPECT_EQ(CheckCrc(im.data() + 4, static_cast<uint32_t>(im.size() - 4), get_be32(im.data())), 0);
            EXPECT_TRUE(std::equal(im.begin() + g.header_length, im.end(), payload_of(n).begin()));
        }
    }
}

TEST(ImageBuilder, FieldsPastAShortHeaderGiveWayToThePayload)
{
    // A 20-byte HDR3 header cannot hold its length field at byte 22; the
    // builder must neither write past the image nor over the payload.
    const Bytes im = image(Kind::hdr3, 2, IMAGE_KERNEL, 20);
    ASSERT_EQ(im.size(), 22u);
    EXPECT_EQ(get_be32(&im[16]), HDR3_MARKER);
    EXPECT_EQ(im[20], payload_of(2)[0]);
    EXPECT_EQ(im[21], payload_of(2)[1]);
    EXPECT_EQ(CheckCrc(im.data() + 4, 18, get_be32(im.data())), 0);
}

TEST(ImageBuilder, VersionsAndTypeNames)
{
    EXPECT_EQ(bladeimg::parse_version("1.2.3.4"), 0x01020304u);
    EXPECT_EQ(bladeimg::parse_version("255.0.255.0"), 0xFF00FF00u);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.0.0.0", "1..2.3", "a.b.c.d", "1.2.3.4 ", " 1.2.3.4",
                            "-1.2.3.4", "1.2.3.", "0x1.2.3.4"})
        EXPECT_FALSE(bladeimg::parse_version(bad)) << '"' << bad << '"';

    EXPECT_EQ(bladeimg::type_from_name("APPLICATION"), IMAGE_APPLICATION);
    EXPECT_EQ(bladeimg::type_from_name("uBoot"), IMAGE_UBOOT);
    EXPECT_EQ(bladeimg::type_from_name("diags"), IMAGE_DIAGS);
    for (const char* bad : {"", "diag", "diagss", "kernel ", "0x03504754"})
        EXPECT_FALSE(bladeimg::type_from_name(bad)) << '"' << bad << '"';
    EXPECT_STREQ(bladeimg::type_name(IMAGE_RFS | MAGIC_EXTENDED_BIT), "rfs");
    EXPECT_EQ(bladeimg::type_name(0x07504754), nullptr);
}

using PackageWalk = fake::BoardTest;

TEST_F(PackageWalk, EndsTheWayTheLauncherDoes)
{
    const Bytes a = image(Kind::plain, 100);
    const Bytes b = image(Kind::hdr3, 50, IMAGE_APPLICATION, 40);
    const Bytes c = image(Kind::extended, 3, IMAGE_DFT);
    Bytes unusable = image(Kind::hdr3, 10, IMAGE_KERNEL, 24);
    put_be16(&unusable[22], 60);  // header longer than len + 16

    struct Case {
        const char* what;
        Bytes file;
        size_t images;
        WalkEnd end;
        uint64_t offset, trailing;
    };
    const uint64_t abc = a.size() + b.size() + c.size();
    const Case cases[] = {
        {"empty", {}, 0, WalkEnd::exact, 0, 0},
        {"three kinds back to back", a + b + c, 3, WalkEnd::exact, abc, 0},
        {"23 bytes after the last image", a + Bytes(23, 0xEE), 1, WalkEnd::short_tail, a.size(), 23},
        // Whole, but fewer than 24 bytes: the launcher never reads it.
        {"a 16-byte image at the end", a + image(Kind::plain, 0), 1, WalkEnd::short_tail, a.size(), 16},
        {"second image cut short", a + first(b, 30), 1, WalkEnd::cut_short, a.size(), 30},
        {"cut one byte short", a + first(b, b.size() - 1), 1, WalkEnd::cut_short, a.size(), b.size() - 1},
        {"unusable header stops the walk", a + unusable + c, 1, WalkEnd::unusable, a.size(), unusable.size() + c.size()},
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

TEST_F(PackageWalk, ReportsEachImageAndCarriesOnPastABadCrc)
{
    const Bytes a = image(Kind::plain, 100);
    Bytes b = image(Kind::extended, 5000, IMAGE_RFS, 64);
    const Bytes c = image(Kind::hdr3, 7, IMAGE_APPLICATION);
    const uint32_t good_crc = get_be32(b.data());
    b[b.size() - 1] ^= 0x01;

    const Walked w = walk_bytes(a + b + c, 1000);
    ASSERT_EQ(w.images.size(), 3u);
    EXPECT_EQ(w.result.end, WalkEnd::exact);
    EXPECT_EQ(w.images[1].offset, a.size());
    EXPECT_EQ(w.images[1].geometry.type, IMAGE_RFS);
    EXPECT_EQ(w.images[1].geometry.header_length, 64u);
    EXPECT_EQ(w.images[1].version, 0x01020304u);
    EXPECT_EQ(w.images[1].crc_stored, good_crc);
    EXPECT_FALSE(w.images[1].crc_ok());
    EXPECT_EQ(w.images[1].crc_computed, gen_crc(b.data() + 4, static_cast<uint32_t>(b.size() - 4), 0xFFFFFFFFu));
    EXPECT_TRUE(w.images[0].crc_ok());
    EXPECT_TRUE(w.images[2].crc_ok());
    EXPECT_EQ(w.images[2].offset, a.size() + b.size());
}

TEST_F(PackageWalk, ReadsAPipeThatTricklesIn)
{
    const Bytes file = image(Kind::plain, 0) + image(Kind::hdr3, 300) + image(Kind::extended, 1) + Bytes(5, 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        for (size_t at = 0; at < file.size(); at += 7)
            EXPECT_GT(::write(fds[1], &file[at], std::min<size_t>(7, file.size() - at)), 0);
        ::close(fds[1]);
    });
    const Walked w = walk_fd(fds[0], 64);
    writer.join();
    ::close(fds[0]);
    ASSERT_EQ(w.images.size(), 3u);
    EXPECT_TRUE(std::all_of(w.images.begin(), w.images.end(), [](const auto& im) { return im.crc_ok(); }));
    EXPECT_EQ(w.result.end, WalkEnd::short_tail);
    EXPECT_EQ(w.result.trailing, 5u);
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

TEST(UnusableReason, NamesWhatIsWrong)
{
    struct Case {
        uint32_t len, magic;
        bool hdr3;
        uint16_t header_length;
        const char* expected;
    };
    const Case cases[] = {
        {100, IMAGE_KERNEL | MAGIC_EXTENDED_BIT, false, 8, "header length 8 is shorter than the 16 fixed bytes"},
        {10, IMAGE_KERNEL, true, 40, "header length 40 exceeds len + 16 (26)"},
        {0xFFFFFFF0u, IMAGE_KERNEL | MAGIC_EXTENDED_BIT, false, 0xFFFF, "total size 4295032815 does not fit in 32 bits"},
        {0xFFFFFFF8u, IMAGE_KERNEL, true, 24, "total size 4294967304 does not fit in 32 bits"},
    };
    for (const auto& c : cases) {
        uint8_t h[HEADER_PROBE_SIZE] = {};
        put_be32(h + 4, c.len);
        put_be32(h + 8, c.magic);
        if (c.hdr3) {
            put_be32(h + 16, HDR3_MARKER);
            put_be16(h + 22, c.header_length);
        } else {
            put_be16(h + 18, c.header_length);
        }
        ASSERT_FALSE(image_geometry(h).usable) << c.expected;
        EXPECT_EQ(bladeimg::unusable_reason(h), c.expected);
    }
}
