#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_platform.hpp"
#include "launcher/flash.hpp"

using namespace bladeboot;

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Extents = std::vector<std::pair<uint32_t, uint32_t>>;

constexpr const char* KERNEL = "/dev/mtd-kernel";
constexpr uint32_t E = 4096;
constexpr uint32_t BLOCKS = 8;

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return v;
}

// The kernel partition, shrunk to a few small blocks full of known bytes.
class FlashTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        part().erase_size = E;
        part().resize(E * BLOCKS);
        old = pattern(E * BLOCKS, 0x11);
        fake::load_partition(KERNEL, 0, old);
        api_flash_init();
    }
    fake::NorPartition& part() { return b().part(KERNEL); }

    std::vector<uint8_t> old;
};

TEST_F(FlashTest, OpenTakesTheSixPartitionsInOrder)
{
    const std::vector<std::pair<std::string, int>> expected = {
        {"/dev/mtd-uboot", uboot_fd},
        {"/dev/mtd-ubootenv", uboot_env_fd},
        {"/dev/mtd-devicetree", device_tree_fd},
        {"/dev/mtd-kernel", kernel_fd},
        {"/dev/mtd-rfs", rfs_fd},
        {"/dev/mtd-rescue", rescue_fd},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& [path, fd] = expected[i];
        EXPECT_EQ(fd, expected[0].second + static_cast<int>(i)) << path;
        EXPECT_EQ(b().part(path).open_flags, path == "/dev/mtd-rescue" ? O_RDWR : (O_RDWR | O_SYNC)) << path;
    }

    b().part("/dev/mtd-rfs").open_fails = true;
    EXPECT_EQ(mtd_open(), rescue_fd);
    EXPECT_EQ(rfs_fd, -1);
    EXPECT_GE(rescue_fd, 0);
}

TEST_F(FlashTest, QueryReportsGeometry)
{
    MtdInfo info{};
    ASSERT_EQ(mtd_query(uboot_fd, &info), 1);
    EXPECT_EQ(info.block_count, 8u);
    EXPECT_EQ(info.erase_size, 0x10000u);
    EXPECT_EQ(info.erase_shift, 16u);
    EXPECT_EQ(info.total_size, 0x80000u);

    // No bit set: the shift keeps whatever the caller had there.
    b().part("/dev/mtd-uboot").erase_size = 0;
    info.erase_shift = 5;
    ASSERT_EQ(mtd_query(uboot_fd, &info), 1);
    EXPECT_EQ(info.erase_shift, 5u);
    EXPECT_EQ(info.block_count, 0u);

    b().part("/dev/mtd-uboot").getinfo_fails = true;
    CaptureStdout();
    EXPECT_EQ(mtd_query(uboot_fd, &info), 0);
    EXPECT_EQ(GetCapturedStdout(), "Could not get MTD device info \n");
}

struct WriteCase {
    const char* name;
    uint32_t offset;
    uint32_t length;
    Extents erased;
    friend void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }
};

class FlashWriteRange : public FlashTest, public testing::WithParamInterface<WriteCase> {};

TEST_P(FlashWriteRange, RewritesTouchedBlocksAndKeepsEveryOtherByte)
{
    const WriteCase& c = GetParam();
    const auto data = pattern(c.length, 0xA5);

    CaptureStdout();
    ASSERT_EQ(api_flash_write(data.data(), kernel_fd, c.offset, c.length, 0), 0);
    EXPECT_EQ(GetCapturedStdout(), "");

    EXPECT_EQ(part().erase_log, c.erased);
    Extents pieces;
    for (const auto& [start, length] : c.erased)
        for (uint32_t k = 0; k < length; k += 1024) pieces.emplace_back(start + k, 1024);
    EXPECT_EQ(part().write_log, pieces);

    auto expected = old;
    std::copy(data.begin(), data.end(), expected.begin() + c.offset);
    EXPECT_EQ(part().bytes, expected);
}

const WriteCase write_cases[] = {
    {"InsideOneBlock", E + 100, 10, {{E, E}}},
    {"OverThreeBlocks", 2 * E - 16, E + 32, {{E, E}, {2 * E, E}, {3 * E, E}}},
    {"WholeAlignedBlocks", 2 * E, 3 * E, {{2 * E, E}, {3 * E, E}, {4 * E, E}}},
    {"LastByteOfBlock", 2 * E - 1, 1, {{E, E}}},
    {"ZeroLengthAligned", 3 * E, 0, {}},
    {"ZeroLengthUnaligned", 3 * E + 5, 0, {{3 * E, E}}},
};

INSTANTIATE_TEST_SUITE_P(Flash, FlashWriteRange, testing::ValuesIn(write_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(FlashTest, ProgressCountsUpInPlace)
{
    const auto data = pattern(4 * E, 0x3C);
    CaptureStdout();
    ASSERT_EQ(api_flash_write(data.data(), kernel_fd, 0, 4 * E, 1), 0);
    EXPECT_EQ(GetCapturedStdout(), "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n");

    CaptureStdout();
    ASSERT_EQ(api_flash_write(data.data(), kernel_fd, E, 0, 1), 0);
    EXPECT_EQ(GetCapturedStdout(), "     \b\b\b\b100%\n");
}

struct FailCase {
    const char* name;
    int fake::NorPartition::*fail_at;
    int at;
    const char* message;
    // Of the second block: how many leading bytes hold the new data, and
    // whether the rest is still the old content (else erased).
    uint32_t new_bytes;
    bool rest_old;
    friend void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }
};

class FlashWriteFailure : public FlashTest, public testing::WithParamInterface<FailCase> {};

TEST_P(FlashWriteFailure, StopsAtTheFailingBlockAndSaysSo)
{
    const FailCase& c = GetParam();
    part().*c.fail_at = c.at;
    const auto data = pattern(3 * E, 0x5A);

    CaptureStdout();
    EXPECT_EQ(api_flash_write(data.data(), kernel_fd, 0, 3 * E, 1), -1);
    EXPECT_EQ(GetCapturedStdout(), std::string("     \b\b\b\b000%") + c.message + "\n\n");

    const auto& bytes = part().bytes;
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + E, bytes.begin())) << "first block rewritten";
    EXPECT_TRUE(std::equal(data.begin() + E, data.begin() + E + c.new_bytes, bytes.begin() + E));
    for (uint32_t i = E + c.new_bytes; i < 2 * E; ++i)
        ASSERT_EQ(bytes[i], c.rest_old ? old[i] : 0xFF) << "offset " << i;
    EXPECT_TRUE(std::equal(old.begin() + 2 * E, old.end(), bytes.begin() + 2 * E)) << "later blocks untouched";
}

INSTANTIATE_TEST_SUITE_P(
    Flash, FlashWriteFailure,
    testing::Values(FailCase{"Read", &fake::NorPartition::fail_read_at, 2, "Flash Write mtd read failed.", 0, true},
                    FailCase{"Erase", &fake::NorPartition::fail_erase_at, 2, "Flash Write mtd erase failed.", 0, true},
                    FailCase{"Write", &fake::NorPartition::fail_write_at, E / 1024 + 2, "Flash Write mtd write failed.",
                             1024, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(FlashTest, EraseClearsWholeTouchedBlocks)
{
    ASSERT_EQ(api_flash_erase(kernel_fd, E + 1, 1), 0);
    EXPECT_EQ(part().erase_log, (Extents{{E, E}}));
    auto expected = old;
    std::fill(expected.begin() + E, expected.begin() + 2 * E, 0xFF);
    EXPECT_EQ(part().bytes, expected);

    part().fail_erase_at = part().erases + 2;
    CaptureStdout();
    EXPECT_EQ(api_flash_erase(kernel_fd, 0, 3 * E), -1);
    EXPECT_EQ(GetCapturedStdout(), "Flash Erase mtd erase failed.\n");
}

TEST_F(FlashTest, UnopenedPartitionFailsEveryApiCall)
{
    part().open_fails = true;
    EXPECT_EQ(api_flash_init(), 1);
    ASSERT_EQ(kernel_fd, -1);
    uint8_t buf[16] = {};
    CaptureStdout();
    EXPECT_EQ(api_flash_read(buf, kernel_fd, 0, 16), -1);
    EXPECT_EQ(api_flash_write(buf, kernel_fd, 0, 16, 1), -1);
    EXPECT_EQ(api_flash_erase(kernel_fd, 0, 16), -1);
    const std::string line = "Could not get MTD device info \n";
    EXPECT_EQ(GetCapturedStdout(), line + line + line);
}

TEST_F(FlashTest, UnusableGeometryOrRangeIsRefusedBeforeTouchingFlash)
{
    const std::string size_message = " (not a power of two of at least 1024 bytes)\n";
    const std::string range_message = " outside the partition (0x00008000 bytes)\n";
    const struct {
        uint32_t erase_size, offset, length;
        std::string message;
    } cases[] = {
        {0, 0, 16, "Unsupported MTD erase size 0x00000000" + size_message},
        {512, 0, 16, "Unsupported MTD erase size 0x00000200" + size_message},
        {3000, 0, 16, "Unsupported MTD erase size 0x00000bb8" + size_message},
        {0x1800, 0, 16, "Unsupported MTD erase size 0x00001800" + size_message},
        {E, E * BLOCKS - 8, 16, "Flash range 0x00007ff8+0x00000010" + range_message},
        {E, E * BLOCKS, 1, "Flash range 0x00008000+0x00000001" + range_message},
        {E, 0xFFFFFF00u, 0x200, "Flash range 0xffffff00+0x00000200" + range_message},
    };
    std::vector<uint8_t> buf(0x200);
    for (const auto& c : cases) {
        part().erase_size = c.erase_size;
        CaptureStdout();
        EXPECT_EQ(api_flash_read(buf.data(), kernel_fd, c.offset, c.length), -1);
        EXPECT_EQ(api_flash_write(buf.data(), kernel_fd, c.offset, c.length, 1), -1);
        EXPECT_EQ(api_flash_erase(kernel_fd, c.offset, c.length), -1);
        EXPECT_EQ(GetCapturedStdout(), c.message + c.message + c.message);
    }
    EXPECT_EQ(part().reads + part().writes + part().erases, 0);

    // The range layer guards itself too: the shift must match the size.
    const MtdInfo skewed{BLOCKS, E, 11, E * BLOCKS};
    CaptureStdout();
    EXPECT_EQ(flash_erase(kernel_fd, 16, 0, &skewed), 0);
    GetCapturedStdout();
    EXPECT_EQ(part().erases, 0);
}

TEST_F(FlashTest, TraceLinesWhenSwitchedOn)
{
    debug_read = debug_write = debug_erase = 1;
    uint8_t buf[16] = {};
    CaptureStdout();
    api_flash_read(buf, kernel_fd, 4, 16);
    api_flash_erase(kernel_fd, E + 1, 1);
    const std::string out = GetCapturedStdout();
    char read_line[96];
    std::snprintf(read_line, sizeof read_line, "mtd read  0x00000004 to 0x00000013 0x%08lx\n",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(buf)));
    EXPECT_EQ(out, std::string("Flash Read 0x00000004 to 0x00000013\n") + read_line +
                       "Flash Erase 0x00001001 to 0x00001001 (0x00001000 to 0x00001fff) 1\n"
                       "mtd erase 0x00001000 to 0x00001fff\n");
}

}  // namespace
