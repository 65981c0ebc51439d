#include <ranges>

#include "launcher/installed.hpp"
#include "launcher/installer.hpp"
#include "launcher/launch.hpp"
#include "launcher/slot_file.hpp"
#include "support.hpp"

using namespace unit;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

constexpr char PKG[] = "/tmp/package.img";

Bytes sized(uint32_t type, size_t payload, uint32_t version = 0x01000000, uint8_t seed = 1)
{
    Bytes p(payload);
    for (size_t i = 0; i < payload; ++i) p[i] = static_cast<uint8_t>(seed + i * 13 + i / 241);
    return bladeimg::make_image({type, version}, p);
}

// A boot loader whose payload carries a copy of its own header at byte 240.
Bytes uboot(size_t payload = 1024, uint32_t version = 0x01000000)
{
    Bytes img = sized(IMAGE_UBOOT, payload, version);
    std::copy(img.begin(), img.begin() + 16, img.begin() + 16 + UBOOT_HEADER_OFFSET);
    bladeimg::seal_image(img);
    return img;
}

size_t count(std::string_view text, std::string_view what)
{
    return std::ranges::distance(std::views::split(text, what)) - 1;
}

class Install : public BoardTest {
protected:
    Outcome install(const Bytes& package, uint8_t version_check = 0, int slot = 0, const char* answer = "")
    {
        write_file(PKG, package);
        b().console.type(answer);
        return run([&] { return processBladeImage(st, PKG, version_check, slot); });
    }
};

}  // namespace

TEST_F(Install, EachImageGoesToItsPlaceUnlessInstalledAndFailuresStopThePackage)
{
    const Bytes k1 = sized(IMAGE_KERNEL, 5000, 1), k2 = sized(IMAGE_KERNEL, 7000, 2), rfs = sized(IMAGE_RFS, 900);
    const Bytes dft = sized(IMAGE_DFT, 300), other = sized(0x07504754, 50), loader = uboot();
    const struct {
        Bytes package;
        int result;
        std::vector<const char*> says, written;
        int fail_kernel_write = 0;
    } cases[] = {
        {k1 + corrupt(rfs) + dft, 0, {"Bad crc for RFS: 0x"}, {"/dev/mtd-kernel"}},
        {sized(IMAGE_KERNEL, 0x300000 - 15), 0, {"KERNEL image is too big for flash (3145729 > 3145728)\n"}, {}},
        {sized(IMAGE_DIAGS, 200), 1, {"Installing Diagnostics: ", "100%\ndone\n"}, {"/dev/mtd-rescue"}},
        {sized(IMAGE_UBOOT, 0x80000), 0, {"Boot loader image carries no header copy at byte 240, voiding"}, {}},
        {sized(IMAGE_UBOOT, 0x80001), 0, {"UBOOT image is too big for flash (524289 > 524288)\n"}, {}},
        {sized(IMAGE_UBOOT, 0) + k1, 0, {"carries no header copy"}, {}},
        {uboot(UBOOT_HEADER_OFFSET + 16), 1, {"Installing Boot Loader: "}, {"/dev/mtd-uboot"}},  // copy at the very end
        {{}, 0, {"\nExtracting images ... Do *NOT* power cycle the switch.\nFile processed\nERROR: No valid image found\n"},
         {}},
        {k1 + rfs, 0, {"Flash Write mtd write failed.\n\nkernel image update failed\n"}, {}, 1},
        // Last, for what it leaves in flash below.
        {loader + k1 + other + k2 + rfs + dft + Bytes(300, 0x1A), 1,
         {"Installing Boot Loader:      \b\b\b\b000%\b\b\b\b100%\n", "Installing Kernel: ", "Installing Device Tree: ",
          "File processed\n"},
         {"/dev/mtd-uboot", "/dev/mtd-kernel", "/dev/mtd-rfs", "/dev/mtd-devicetree"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says.front());
        SetUp();
        b().part("/dev/mtd-kernel").fail_write_at = c.fail_kernel_write;
        const Outcome o = install(c.package);
        EXPECT_EQ(o.result, c.result) << o.out;
        for (const char* text : c.says) EXPECT_TRUE(has(o.out, text)) << text << " in\n" << o.out;
        for (const auto& [dev, part] : b().mtd)
            EXPECT_EQ(!part.write_log.empty(), std::count(c.written.begin(), c.written.end(), dev) == 1) << dev;
    }
    // The boot loader's payload alone, the later kernel over the earlier.
    EXPECT_TRUE(std::equal(loader.begin() + 16, loader.end(), b().part("/dev/mtd-uboot").bytes.begin()));
    EXPECT_TRUE(std::equal(k2.begin(), k2.end(), b().part("/dev/mtd-kernel").bytes.begin()));
    EXPECT_EQ(run([&] { return processBladeImage(st, "/tmp/none", 0, 0); }).out,
              "Cannot open image package /tmp/none (err 2)\n");

    // The version check skips what is installed already.
    SetUp();
    const Bytes k = sized(IMAGE_KERNEL, 100), a = sized(IMAGE_APPLICATION, 100);
    install(loader + k, 0);
    write_file(SLOT1_PATH, a);
    const Outcome o = install(loader + k + a, 1, 1);
    EXPECT_EQ(std::pair(o.result, count(o.out, "Image has same version as existing image. Skipping update...\n")),
              std::pair(0, size_t{2}));
    EXPECT_TRUE(has(o.out, "Image1 has same version as existing image. Skipping update...\n"));

    uint8_t header[16];
    Bytes other_crc = k, loader_crc = loader;
    other_crc[0] ^= 1, loader_crc[0] ^= 1;
    EXPECT_EQ(verifyMatchingHeaders(st.mtd, other_crc.data(), 0), 0) << "the kernel's crc counts";
    EXPECT_EQ(verifyMatchingHeaders(st.mtd, loader_crc.data(), 0), 1) << "the boot loader's does not";
    EXPECT_EQ(verifyMatchingHeaders(st.mtd, a.data(), 2), 0) << "no slot 2 file";
    write_file(SLOT2_PATH, Bytes(10, 7));
    EXPECT_EQ(read_flash_image_header(st.mtd, IMAGE_APPLICATION, header, 2), 1);
    EXPECT_EQ(Bytes(header, header + 16), Bytes(10, 7) + Bytes(6, 0));
    const Outcome unknown = run([&] { return read_flash_image_header(st.mtd, 0x7504754, header, 0); });
    EXPECT_EQ(std::tie(unknown.result, unknown.out), std::tuple(0, "Unknown image type 0x7504754 \n"));
}

TEST_F(Install, ApplicationsGoToTheSlotAskedOnceOrBootAtOnce)
{
    const Bytes a1 = sized(IMAGE_APPLICATION, 70000, 0x01000001, 1), a2 = sized(IMAGE_APPLICATION, 300, 0x01000002, 2);
    Outcome o = install(a1 + a2, 0, 0, "2\n");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(count(o.out, "Install image as image 1 or 2"), 1u);
    EXPECT_EQ(count(o.out, "\nImage2 updated succeeded\n"), 2u);
    EXPECT_TRUE(has(o.out, "Installing image as image2:     \b\b\b\b093%\b\b\b\b100%\b\b\b\b100%\n"));
    EXPECT_EQ(std::tuple(read_file(SLOT2_PATH), eeprom(EEPROM_PREFERRED_SLOT), fs::exists(SLOT2_PATH + ".new"s)),
              std::tuple(std::string(a2.begin(), a2.end()), 2, false));

    SetUp();
    o = install(uboot() + a1, 0, 0, "\n");
    ASSERT_TRUE(o.exec) << "the return key boots the image without installing it";
    EXPECT_TRUE(has(o.out, "Booting downloaded image\nImage ready to boot..."));
    EXPECT_EQ(std::tuple(fs::file_size(APP_TARBALL), fs::exists(SLOT1_PATH), b().part("/dev/mtd-uboot").writes > 0),
              std::tuple(70000u, false, true));

    SetUp();
    o = install(sized(IMAGE_APPLICATION, 0) + Bytes(8, 0x1A), 0, 0, "x\n");
    EXPECT_TRUE(has(o.out, "Image unpack failed (err ")) << "nothing to boot in an empty payload";

    SetUp();
    write_file(SLOT1_PATH, bytes("old"));
    fs::create_symlink("/dev/full", SLOT1_PATH + ".new"s);
    o = install(a2, 0, 1);
    EXPECT_TRUE(has(o.out, "Image1 update failed (err 28)\n"));
    EXPECT_EQ(std::pair(read_file(SLOT1_PATH), eeprom(EEPROM_PREFERRED_SLOT)), std::pair("old"s, uint8_t{0xFF}));

    // Checked, then changed while the slot question waits: what is written is checked again.
    for (const char* answer : {"1\n", "\n"}) {
        SetUp();
        b().console.on_read = [] { std::fstream(PKG, std::ios::in | std::ios::out).seekp(50000).put(0); };
        o = install(a1, 0, 0, answer);
        EXPECT_TRUE(has(o.out, answer[0] == '1' ? "Image1 update failed (err 5)\n" : "Image unpack failed (err 5)\n"));
        EXPECT_FALSE(fs::exists(SLOT1_PATH) || fs::exists(SLOT1_PATH + ".new"s) || o.exec);
    }
}
