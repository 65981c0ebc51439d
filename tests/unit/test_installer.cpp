#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bladeimg/image_builder.hpp"
#include "fakes/fake_platform.hpp"
#include "image_files.hpp"
#include "launcher/crc.hpp"
#include "launcher/flash.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testfiles::read_file;
using testfiles::write_file;
using Bytes = std::vector<uint8_t>;

constexpr const char* PKG = "/tmp/package.img";
constexpr const char* OPENING = "\nExtracting images ... Do *NOT* power cycle the switch.\n";

Bytes image(uint32_t type, size_t payload, uint8_t seed = 1, uint32_t version = 0x01000000)
{
    return bladeimg::make_image({type, version}, testfiles::pattern(payload, seed));
}

Bytes join(std::initializer_list<Bytes> images)
{
    Bytes out;
    for (const auto& i : images) out.insert(out.end(), i.begin(), i.end());
    return out;
}

bool starts_with(const Bytes& whole, const Bytes& part)
{
    return whole.size() >= part.size() && std::equal(part.begin(), part.end(), whole.begin());
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class InstallerTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        mtd_open();
        api_i2c_init();
    }

    // Installs `package` and keeps what the operator saw in `out`.
    int install(const Bytes& package, uint8_t version_check = 0, int slot = 0)
    {
        testfiles::write_file(PKG, package);
        CaptureStdout();
        const int result = processBladeImage(PKG, version_check, slot);
        out = GetCapturedStdout();
        return result;
    }

    const Bytes& flash(const char* path) { return b().part(path).bytes; }
    bool untouched(const char* path) { return b().part(path).write_log.empty(); }

    std::string out;
};

TEST_F(InstallerTest, SizeLimitsPassAtTheLimitAndFailOneByteAbove)
{
    struct Case {
        uint32_t type;
        const char* partition;
        uint32_t limit;
        const char* too_big;
    };
    const Case cases[] = {
        {IMAGE_UBOOT, "/dev/mtd-uboot", 0x80000, "UBOOT image is too big for flash (524289 > 524288)\n"},
        {IMAGE_KERNEL, "/dev/mtd-kernel", 0x300000, "KERNEL image is too big for flash (3145729 > 3145728)\n"},
        {IMAGE_RFS, "/dev/mtd-rfs", 0xF00000, "RFS image is too big for flash (15728641 > 15728640)\n"},
        {IMAGE_DFT, "/dev/mtd-devicetree", 0x40000, "DFT image is too big for flash (262145 > 262144)\n"},
        {IMAGE_DIAGS, "/dev/mtd-rescue", 0xA00000, "DIAGS image is too big for flash (10485761 > 10485760)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.partition);
        fake::reset();
        mtd_open();
        // The boot loader's limit is on len (its payload); the rest on the whole image.
        const size_t at_limit = c.type == IMAGE_UBOOT ? c.limit : c.limit - 16;
        const Bytes fits = image(c.type, at_limit);
        EXPECT_EQ(install(fits), 1) << out;
        if (c.type == IMAGE_UBOOT)
            EXPECT_EQ(flash(c.partition), Bytes(fits.begin() + 16, fits.end()));
        else
            EXPECT_TRUE(starts_with(flash(c.partition), fits));

        fake::reset();
        mtd_open();
        EXPECT_EQ(install(image(c.type, at_limit + 1)), 0);
        EXPECT_THAT(out, HasSubstr(c.too_big));
        EXPECT_TRUE(untouched(c.partition));
    }
}

TEST_F(InstallerTest, BadCrcInSecondImageKeepsFirstAndStopsThere)
{
    const Bytes kernel = image(IMAGE_KERNEL, 5000);
    Bytes dft = image(IMAGE_DFT, 3000);
    dft[100] ^= 0x40;
    const uint32_t computed = gen_crc(dft.data() + 4, static_cast<uint32_t>(dft.size() - 4), 0xFFFFFFFFu);
    char bad_crc[80];
    std::snprintf(bad_crc, sizeof bad_crc, "Installing Device Tree: Bad crc for DFT: 0x%08x, voiding download\n",
                  computed);

    EXPECT_EQ(install(join({kernel, dft, image(IMAGE_RFS, 2000)})), 0);
    EXPECT_TRUE(starts_with(flash("/dev/mtd-kernel"), kernel));
    EXPECT_TRUE(untouched("/dev/mtd-devicetree"));
    EXPECT_TRUE(untouched("/dev/mtd-rfs"));
    EXPECT_THAT(out, HasSubstr(bad_crc));
    EXPECT_THAT(out, testing::Not(HasSubstr("Root Filesystem")));
}

TEST_F(InstallerTest, UnknownTypeBetweenKernelsIsPassedOverSilently)
{
    const Bytes second = image(IMAGE_KERNEL, 4000, 9);
    EXPECT_EQ(install(join({image(IMAGE_KERNEL, 6000), image(0x07504754, 700), second})), 1);
    EXPECT_TRUE(starts_with(flash("/dev/mtd-kernel"), second));
    EXPECT_EQ(count(out, "Installing"), 2u);
    EXPECT_EQ(count(out, "Installing Kernel: "), 2u);
}

TEST_F(InstallerTest, OneAnswerSendsEveryApplicationToThatSlot)
{
    const Bytes first = image(IMAGE_APPLICATION, 100000 - 16, 3);
    const Bytes second = image(IMAGE_APPLICATION, 500, 4);
    b().console.type("2\n");
    EXPECT_EQ(install(join({first, second})), 1);

    EXPECT_EQ(read_file("/user/images/image2"), second);
    EXPECT_FALSE(fs::exists("/user/images/image1"));
    struct stat st {};
    ASSERT_EQ(::stat("/user/images", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(b().eeprom.mem[EEPROM_PREFERRED_SLOT], 2);
    const auto slot_writes = std::count_if(b().i2c_log.begin(), b().i2c_log.end(), [](const fake::I2cOp& op) {
        return op.kind == fake::I2cOp::WRITE && op.bytes == Bytes{0x01, 0x00, 0x02};
    });
    EXPECT_EQ(slot_writes, 2);
    // Pieces of 64 KiB: the first image shows 65% after its first piece.
    EXPECT_EQ(out, std::string(OPENING) +
                       "Installing Application: Install image as image 1 or 2 (hit return to just boot image): "
                       "Installing image as image2:     \b\b\b\b065%\b\b\b\b100%\b\b\b\b100%\n"
                       "\nImage2 updated succeeded\n"
                       "Installing Application: Installing image as image2:     \b\b\b\b100%\b\b\b\b100%\n"
                       "\nImage2 updated succeeded\n"
                       "File processed\n");
}

TEST_F(InstallerTest, VersionCheckSkipsWhatIsInstalled)
{
    const Bytes package = join({image(IMAGE_UBOOT, 3000), image(IMAGE_KERNEL, 2000), image(IMAGE_APPLICATION, 900)});
    ASSERT_EQ(install(package, 0, 1), 1) << out;
    // The boot loader carries its own header copy at byte 240 of its payload.
    fake::load_partition("/dev/mtd-uboot", 240, Bytes(package.begin(), package.begin() + 16));
    const int kernel_writes = b().part("/dev/mtd-kernel").writes;

    EXPECT_EQ(install(package, 1, 1), 0);
    EXPECT_EQ(b().part("/dev/mtd-kernel").writes, kernel_writes);
    EXPECT_EQ(out, std::string(OPENING) +
                       "Installing Boot Loader: Image has same version as existing image. Skipping update...\n"
                       "Installing Kernel: Image has same version as existing image. Skipping update...\n"
                       "Installing Application: Installing image as image1: "
                       "Image1 has same version as existing image. Skipping update...\n"
                       "File processed\nERROR: No valid image found\n");
}

TEST_F(InstallerTest, ReturnKeyBootsTheApplicationAndKeepsWhatCameBefore)
{
    const Bytes uboot = image(IMAGE_UBOOT, 2000);
    const Bytes app = image(IMAGE_APPLICATION, 1200, 5);
    b().console.type("\n");
    testfiles::write_file(PKG, join({uboot, app}));
    CaptureStdout();
    EXPECT_TRUE(testfiles::ends_in_launch([] { processBladeImage(PKG, 0, 0); }));
    EXPECT_THAT(GetCapturedStdout(), HasSubstr("Booting downloaded image\nImage ready to boot..."));
    EXPECT_EQ(read_file("/tmp/torasimage.tar.gz"), Bytes(app.begin() + 16, app.end()));
    EXPECT_TRUE(starts_with(flash("/dev/mtd-uboot"), Bytes(uboot.begin() + 16, uboot.end())));
    EXPECT_FALSE(fs::exists("/user/images/image1"));
}

TEST_F(InstallerTest, EmptyApplicationPayloadCannotBeBooted)
{
    // A plain header alone is shorter than the 24 bytes a reader looks at.
    b().console.type("x\n");
    EXPECT_EQ(install(bladeimg::make_image({IMAGE_APPLICATION, 0, bladeimg::Kind::hdr3}, {})), 0);
    EXPECT_THAT(out, HasSubstr("Booting downloaded image\nImage unpack failed (err 0)\n"));
}

TEST_F(InstallerTest, XmodemPaddingAfterTheLastImageIsNotAnError)
{
    for (size_t padding : {20u, 24u, 1000u, 1023u}) {
        SCOPED_TRACE(padding);
        Bytes package = join({image(IMAGE_KERNEL, 3000), image(IMAGE_APPLICATION, 800)});
        package.resize(package.size() + padding, 0x1A);
        EXPECT_EQ(install(package, 0, 1), 1) << out;
        EXPECT_THAT(out, HasSubstr("Image1 updated succeeded\nFile processed\n"));
    }
}

TEST_F(InstallerTest, UnusableOrCutShortImageIsRefusedBeforeAnythingOfItIsWritten)
{
    const Bytes kernel = image(IMAGE_KERNEL, 3000);
    // Extended header whose length field (8) is shorter than the fixed 16 bytes.
    Bytes bad_header = bladeimg::make_image({IMAGE_RFS, 0, bladeimg::Kind::extended}, testfiles::pattern(64, 2));
    put_be16(&bad_header[18], 8);
    Bytes cut = image(IMAGE_APPLICATION, 5000);
    cut.resize(1000);
    struct Case {
        Bytes second;
        const char* message;
    };
    const Case cases[] = {
        {bad_header, "Bad header for RFS, voiding download\n"},
        {cut, "Truncated APPLICATION image (1000 of 5016 bytes), voiding download\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        fake::reset();
        mtd_open();
        EXPECT_EQ(install(join({kernel, c.second}), 0, 1), 0);
        EXPECT_THAT(out, HasSubstr(c.message));
        EXPECT_TRUE(starts_with(flash("/dev/mtd-kernel"), kernel));
        EXPECT_TRUE(untouched("/dev/mtd-rfs"));
        EXPECT_FALSE(fs::exists("/user/images/image1"));
    }
}

TEST_F(InstallerTest, WriteFailuresEndTheInstall)
{
    fs::create_directories("/user/images/image2");  // cannot be created as a file
    EXPECT_EQ(install(image(IMAGE_APPLICATION, 100), 0, 2), 0);
    EXPECT_THAT(out, HasSubstr("Image2 update failed (err 21)\n"));

    // A full device: a whole piece fails at once, a small image only when
    // stdio hands its buffer over. The slot keeps its image either way.
    const Bytes old_image = image(IMAGE_APPLICATION, 10);
    write_file("/user/images/image1", old_image);
    fs::create_symlink("/dev/full", "/user/images/image1.new");
    EXPECT_EQ(install(image(IMAGE_APPLICATION, 70000), 0, 1), 0);
    EXPECT_THAT(out, HasSubstr("Installing image as image1:     Image1 update failed (err 28)\n"));
    fs::create_symlink("/dev/full", "/user/images/image1.new");
    EXPECT_EQ(install(image(IMAGE_APPLICATION, 100), 0, 1), 0);
    EXPECT_THAT(out, HasSubstr("Image1 update failed (err 28)\n"));
    EXPECT_EQ(b().eeprom.mem[EEPROM_PREFERRED_SLOT], 0xFF);
    EXPECT_EQ(read_file("/user/images/image1"), old_image);
    EXPECT_FALSE(fs::exists(fs::symlink_status("/user/images/image1.new")));

    b().part("/dev/mtd-kernel").fail_write_at = 1;
    EXPECT_EQ(install(image(IMAGE_KERNEL, 100)), 0);
    EXPECT_THAT(out, HasSubstr("kernel image update failed\n"));
}

TEST_F(InstallerTest, WhatACutInstallLeftBesideTheSlotIsReplaced)
{
    fs::create_directories("/user/images");
    write_file("/user/images/image2.new", Bytes(100000, 0xA5));
    const Bytes app = image(IMAGE_APPLICATION, 300);
    EXPECT_EQ(install(app, 0, 2), 1);
    EXPECT_EQ(read_file("/user/images/image2"), app);
    EXPECT_FALSE(fs::exists("/user/images/image2.new"));
}

TEST_F(InstallerTest, NothingToInstall)
{
    EXPECT_EQ(install({}), 0);
    EXPECT_EQ(out, std::string(OPENING) + "File processed\nERROR: No valid image found\n");

    CaptureStdout();
    EXPECT_EQ(processBladeImage("/tmp/missing.img", 0, 0), 0);
    EXPECT_EQ(GetCapturedStdout(), "Cannot open image package /tmp/missing.img (err 2)\n");
}

}  // namespace
