#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "boot_road.hpp"
#include "launcher/launch.hpp"

using namespace bladeboot;

using namespace boot_road;
using bladeimg::Kind;

namespace {

// A header spelled out: crc 0, len, magic, id, then bytes 16..23.
Bytes header(uint32_t len, uint32_t magic, uint32_t at16 = 0, uint32_t at20 = 0)
{
    Bytes h(24, 0);
    put_be32(&h[4], len);
    put_be32(&h[8], magic);
    put_be32(&h[16], at16);
    put_be32(&h[20], at20);
    return h;
}

struct WalkCase {
    const char* name;
    Bytes file;
    bool found;
    uint32_t type;  // found, or of the last header read
    long position;  // of the found image
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class Walk : public BootRoadTest, public testing::WithParamInterface<WalkCase> {};

TEST_P(Walk, EndsOnTheFirstBootableImageOrNotAtAll)
{
    const WalkCase& c = GetParam();
    write_file("/tmp/walk", c.file);
    FILE* f = std::fopen("/tmp/walk", "rb");
    ASSERT_NE(f, nullptr);
    uint32_t type = 0, hl = 0, pl = 0;
    uint8_t kind = 0;
    uint8_t copy[16] = {};
    EXPECT_EQ(parse_image(f, &type, &kind, &hl, &pl, copy), c.found ? 1 : 0);
    EXPECT_EQ(type, c.type);
    if (c.found) {
        EXPECT_EQ(std::ftell(f), c.position);
        EXPECT_TRUE(std::equal(copy, copy + 16, c.file.begin() + c.position));
    }
    std::fclose(f);
}

const Bytes kernel = image(IMAGE_KERNEL, "vmlinux");
const char* const payload = "application tarball";

INSTANTIATE_TEST_SUITE_P(
    Files, Walk,
    testing::Values(
        WalkCase{"KernelThenApplication", kernel + app(payload), true, IMAGE_APPLICATION, 23},
        WalkCase{"KernelThenDiags",
                 kernel + image(IMAGE_KERNEL, "x", Kind::extended) + image(IMAGE_DIAGS, "d", Kind::hdr3), true,
                 IMAGE_DIAGS, 23 + 25},
        WalkCase{"ExtendedApplication", image(IMAGE_APPLICATION, "x", Kind::extended), true, IMAGE_APPLICATION, 0},
        WalkCase{"UbootOnly", image(IMAGE_UBOOT, "u-boot.bin"), false, IMAGE_UBOOT, 0},
        WalkCase{"Empty", {}, false, 0, 0},
        // 24 bytes are read before classifying.
        WalkCase{"ApplicationShorterThanAProbe", kernel + app("1234567"), false, IMAGE_KERNEL, 0},
        WalkCase{"ZeroTotalSize", header(0, IMAGE_KERNEL | MAGIC_EXTENDED_BIT) + app(payload), false, IMAGE_KERNEL, 0},
        WalkCase{"TotalWrapsToZero", header(0xFFFFFFF0, IMAGE_KERNEL) + app(payload), false, IMAGE_KERNEL, 0},
        // In 32 bits the second step would land back on the first image.
        WalkCase{"TotalWrapsBackToTheStart",
                 image(IMAGE_RFS, "8 bytes!") + header(0xFFFFFFD8, IMAGE_KERNEL) + app(payload), false, IMAGE_KERNEL,
                 0},
        WalkCase{"HeaderLongerThanImage", header(8, IMAGE_RFS, HDR3_MARKER, 40) + app(payload), false, IMAGE_RFS, 0},
        WalkCase{"PassedOverRunsPastTheEnd", header(4096, IMAGE_KERNEL) + app(payload), false, IMAGE_KERNEL, 0}),
    [](const testing::TestParamInfo<WalkCase>& p) { return std::string(p.param.name); });

class Extract : public BootRoadTest {
protected:
    Outcome extract(int slot)
    {
        return run([slot] { return extract_image(slot); });
    }
};

TEST_F(Extract, GoodImageLeavesExactlyItsPayloadAndRecordsTheSlot)
{
    struct {
        Bytes file;
        std::string payload;
        int slot;
        bool diags;
    } cases[] = {
        {kernel + image(IMAGE_APPLICATION, "application payload", Kind::extended), "application payload", 1, false},
        {image(IMAGE_DIAGS, "diagnostics", Kind::hdr3), "diagnostics", 2, true},
        {app("usb application"), "usb application", 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.slot);
        SetUp();  // the launch closed the buses
        write_file(c.slot == 1 ? SLOT1_PATH : c.slot == 2 ? SLOT2_PATH : USB_IMAGE_PATH, c.file);
        const Outcome o = extract(c.slot);
        ASSERT_TRUE(o.exec) << o.err;
        EXPECT_EQ(read_file(APP_TARBALL), c.payload);
        EXPECT_EQ(booted_slot(), c.slot);
        EXPECT_EQ(contains(o.out, "install diags image"), c.diags);
    }
}

TEST_F(Extract, MissingFirstFileBootsTheOtherSlot)
{
    write_file(SLOT1_PATH, app(payload));
    const Outcome o = extract(2);
    ASSERT_TRUE(o.exec);
    EXPECT_EQ(o.err, "Failed to open Application image 2. Trying image 1.\n");
    EXPECT_EQ(booted_slot(), 1);
}

TEST_F(Extract, FailuresOnTheFirstTryReturnForTheOtherSlot)
{
    const Bytes good = app(payload);
    Bytes unusable = good;  // header length beyond len + 16
    put_be32(&unusable[16], HDR3_MARKER);
    put_be16(&unusable[22], 200);
    bladeimg::seal_image(unusable);
    Bytes huge = good;
    put_be32(&huge[4], 0xFFFFFF00);

    struct {
        const char* name;
        Bytes file;
        const char* err;
    } cases[] = {
        {"bad crc", corrupt(good), "Image1 CRC failed, trying Image2 now.\n"},
        {"cut short", Bytes(good.begin(), good.end() - 1), "Image1 CRC failed, trying Image2 now.\n"},
        {"unusable geometry", unusable, "Image1 CRC failed, trying Image2 now.\n"},
        {"length beyond memory", huge, "Image1 CRC failed, trying Image2 now.\n"},
        {"no application", image(IMAGE_UBOOT, "u-boot loader"),
         "Image has invalid header 0x2504754. (0x6504754)\nImage1 has invalid header... trying Image2.\n"},
        {"empty", {}, "Image has invalid header 0x0. (0x6504754)\nImage1 has invalid header... trying Image2.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(SLOT1_PATH, c.file);
        const Outcome o = extract(1);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.err, c.err);
        EXPECT_TRUE(std::filesystem::exists(APP_TARBALL));
        EXPECT_EQ(std::filesystem::file_size(APP_TARBALL), 0u);
        EXPECT_EQ(booted_slot(), 0xFF);
    }
}

TEST_F(Extract, PayloadThatCannotBeWrittenIsNotLaunched)
{
    ASSERT_TRUE(std::filesystem::exists("/dev/full"));
    std::filesystem::create_symlink("/dev/full", APP_TARBALL);
    write_file(SLOT1_PATH, app(payload));
    const Outcome o = extract(1);
    ASSERT_TRUE(o.rebooted());
    EXPECT_EQ(o.err, "Failed to open application image output file.\n");
    EXPECT_EQ(booted_slot(), 0xFF);
}

TEST_F(Extract, UsbFailuresReturnAtOnce)
{
    struct {
        const char* name;
        std::optional<Bytes> file;
        const char* err;
    } cases[] = {
        {"missing", std::nullopt, "Failed to open application image from USB.\n"},
        {"bad crc", corrupt(app(payload)), "USB image CRC failed."},
        {"no application", kernel, "Error: USB image corrupted or belongs to another switch type.\n"},
    };
    tried_alt_image = 1;  // never final for the stick
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.file) write_file(USB_IMAGE_PATH, *c.file);
        const Outcome o = extract(3);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.err, c.err);
    }
}

TEST_F(Extract, UsbImageIsRejectedBeforeItIsCheckedAndAskedAboutAfterwards)
{
    // md5sum, mkdir and touch as the board's shell would do them.
    b().on_command = [](const std::string& cmd) {
        if (cmd.starts_with("/bin/busybox md5sum"))
            write_file("/tmp/img_md5string", "0123456789abcdef0123456789abcdef  x\n");
        if (cmd.starts_with("touch ")) write_file(cmd.substr(6), "");
        return 0;
    };
    write_file(USB_IMAGE_PATH, corrupt(app(payload)));
    EXPECT_EQ(extract(3).result, 0);
    EXPECT_TRUE(std::filesystem::exists("/user/images/rejected/0123456789abcdef0123456789abcdef"));

    std::filesystem::remove(APP_TARBALL);
    write_file(USB_IMAGE_PATH, app(payload));
    b().console.type("n\n");
    Outcome o = extract(3);
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(contains(o.out, "USB image is in rejected list.\nWould you still like to load it? "));
    EXPECT_FALSE(std::filesystem::exists(APP_TARBALL));

    b().console.type("y\n");
    o = extract(3);
    ASSERT_TRUE(o.exec);
    EXPECT_TRUE(contains(o.out, "Continuing to load USB image...\n"));
    EXPECT_EQ(booted_slot(), 3);
}

TEST_F(Extract, DebuggerIsFetchedOnlyForGdbWithoutServer)
{
    write_file(SLOT1_PATH, app(payload));
    for (int server : {0, 1}) {
        gdb_enable = 1;
        gdbserver_enable = server;
        const Outcome o = extract(1);
        EXPECT_EQ(contains(o.out, "Extracting GDB from image slot 2\n"), server == 0);
    }
}

}  // namespace
