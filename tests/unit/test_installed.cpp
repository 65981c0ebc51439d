#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "bladeimg/image_builder.hpp"
#include "fakes/fake_platform.hpp"
#include "image_files.hpp"
#include "launcher/flash.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testfiles::write_file;
using Bytes = std::vector<uint8_t>;

Bytes image_of(uint32_t type, bladeimg::Kind kind = bladeimg::Kind::plain, uint32_t version = 0x01020304)
{
    return bladeimg::make_image({type, version, kind}, testfiles::pattern(40, 7));
}

Bytes first16(const Bytes& b) { return Bytes(b.begin(), b.begin() + 16); }

Bytes read_header(uint32_t type, int slot, int expect_result = 1)
{
    Bytes h(16, 0xAA);
    EXPECT_EQ(read_flash_image_header(type, h.data(), slot), expect_result);
    return h;
}

class InstalledTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        mtd_open();
    }
};

TEST_F(InstalledTest, FlashHeadersAreFoundWhereTheInstallerLeavesThem)
{
    struct Case {
        uint32_t type;
        const char* partition;
        uint32_t offset;
        bladeimg::Kind kind;
        bool crc_compared;
    };
    const Case cases[] = {
        {IMAGE_UBOOT, "/dev/mtd-uboot", 240, bladeimg::Kind::plain, false},
        {IMAGE_KERNEL, "/dev/mtd-kernel", 0, bladeimg::Kind::plain, true},
        {IMAGE_RFS, "/dev/mtd-rfs", 0, bladeimg::Kind::extended, true},
        {IMAGE_DFT, "/dev/mtd-devicetree", 0, bladeimg::Kind::hdr3, true},
        {IMAGE_DIAGS, "/dev/mtd-rescue", 0, bladeimg::Kind::plain, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.partition);
        const Bytes image = image_of(c.type, c.kind);
        fake::load_partition(c.partition, c.offset, image);
        EXPECT_EQ(read_header(c.type, 0), first16(image));
        EXPECT_EQ(verifyMatchingHeaders(image.data(), 0), 1);

        Bytes other_crc = first16(image);
        other_crc[3] ^= 1;
        EXPECT_EQ(verifyMatchingHeaders(other_crc.data(), 0), c.crc_compared ? 0 : 1);
        const Bytes newer = image_of(c.type, c.kind, 0x01020305);
        EXPECT_EQ(verifyMatchingHeaders(newer.data(), 0), 0);
    }
}

TEST_F(InstalledTest, SlotFileHeaders)
{
    const Bytes image = image_of(IMAGE_APPLICATION);
    std::filesystem::create_directories("/user/images");
    write_file("/user/images/image1", image);
    write_file("/user/images/image2", Bytes(10, 0x5A));

    CaptureStdout();
    EXPECT_EQ(read_header(IMAGE_APPLICATION, 1), first16(image));
    EXPECT_EQ(verifyMatchingHeaders(image.data(), 1), 1);
    EXPECT_EQ(verifyMatchingHeaders(image.data(), 2), 0);

    Bytes short_file(10, 0x5A);
    short_file.resize(16, 0);
    EXPECT_EQ(read_header(IMAGE_APPLICATION, 2), short_file);

    std::filesystem::remove("/user/images/image2");
    EXPECT_EQ(read_header(IMAGE_APPLICATION, 2, 0), Bytes(16, 0));
    EXPECT_EQ(verifyMatchingHeaders(image.data(), 2), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(InstalledTest, UnknownTypeIsNamedAndFails)
{
    CaptureStdout();
    EXPECT_EQ(read_header(0x07504754, 1, 0), Bytes(16, 0));
    EXPECT_EQ(read_flash_image_header(IMAGE_KERNEL, nullptr, 0), 0);
    EXPECT_EQ(GetCapturedStdout(), "Unknown image type 0x7504754 \n");
}

}  // namespace
