#include <fcntl.h>

#include "contract/board_contract.hpp"
#include "support.hpp"

using namespace unit;

namespace {

constexpr uint32_t E = 0x10000;
constexpr char KERNEL[] = "/dev/mtd-kernel";

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + i / 241);
    return v;
}

class Flash : public BoardTest {
protected:
    fake::NorPartition& kernel() { return b().part(KERNEL); }
    Outcome write(uint32_t offset, const Bytes& data, uint8_t progress = 0)
    {
        return run([&] { return api_flash_write(data.data(), st.mtd.kernel_fd, offset, uint32_t(data.size()), progress); });
    }
};

}  // namespace

TEST_F(Flash, WritesByEraseBlockKeepingTheBytesAround)
{
    const struct {
        uint32_t offset, length;
        std::vector<std::pair<uint32_t, uint32_t>> erased;
    } cases[] = {
        {E + 100, 10, {{E, E}}},
        {E - 16, E + 32, {{0, E}, {E, E}, {2 * E, E}}},
        {2 * E, 2 * E, {{2 * E, E}, {3 * E, E}}},
        {E - 1, 1, {{0, E}}},
        {E + 5, 0, {{E, E}}},  // unaligned and empty: the block is rewritten unchanged
        {E, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
        fake::load_partition(KERNEL, 0, pattern(kernel().bytes.size(), 7));
        kernel().erase_log.clear();
        Bytes expected = kernel().bytes;
        const Bytes data = pattern(c.length, 99);
        std::copy(data.begin(), data.end(), expected.begin() + c.offset);
        EXPECT_EQ(write(c.offset, data).result, 0);
        EXPECT_EQ(kernel().erase_log, c.erased);
        EXPECT_TRUE(kernel().bytes == expected);
    }
}

TEST_F(Flash, ProgressCountsBlocksThenEndsTheLine)
{
    EXPECT_EQ(write(0, Bytes(4 * E, 0x5A), 1).out, "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n");
    EXPECT_EQ(write(0, {}, 1).out, "     \b\b\b\b100%\n");
}

TEST_F(Flash, FailuresAreReportedAndStopTheWrite)
{
    const struct {
        std::function<void(fake::NorPartition&)> fault;
        const char* out;
    } cases[] = {
        {[](auto& p) { p.fail_read_at = 2; }, "Flash Write mtd read failed.\n\n"},
        {[](auto& p) { p.fail_erase_at = 1; }, "Flash Write mtd erase failed.\n\n"},
        {[](auto& p) { p.fail_write_at = 65; }, "Flash Write mtd write failed.\n\n"},
        {[](auto& p) { p.getinfo_fails = true; }, "Could not get MTD device info \n"},
        {[](auto& p) { p.erase_size = 3000; },
         "Unsupported MTD erase size 0x00000bb8 (not a power of two of at least 1024 bytes)\n"},
        {[](auto& p) { p.erase_size = 512; },
         "Unsupported MTD erase size 0x00000200 (not a power of two of at least 1024 bytes)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        SetUp();
        c.fault(kernel());
        const Outcome o = write(0, Bytes(2 * E, 0));
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.out, c.out);
    }
    SetUp();
    EXPECT_EQ(write(0x2FFFF0, Bytes(17, 0)).out, "Flash range 0x002ffff0+0x00000011 outside the partition (0x00300000 bytes)\n");
    EXPECT_TRUE(kernel().erase_log.empty());
    EXPECT_EQ(run([&] { return api_flash_read(nullptr, -1, 0, 16); }).out, "Could not get MTD device info \n");
}

TEST_F(Flash, EraseTakesWholeBlocksAndReadIsOneCall)
{
    EXPECT_EQ(api_flash_erase(st.mtd.kernel_fd, E + 1, 1), 0);
    EXPECT_EQ(kernel().erase_log, (std::vector<std::pair<uint32_t, uint32_t>>{{E, E}}));
    kernel().fail_erase_at = kernel().erases + 1;
    EXPECT_EQ(run([&] { return api_flash_erase(st.mtd.kernel_fd, 0, 1); }).out, "Flash Erase mtd erase failed.\n");
    fake::load_partition(KERNEL, 40, bytes("header"));
    Bytes got(6);
    EXPECT_EQ(api_flash_read(got.data(), st.mtd.kernel_fd, 40, 6), 0);
    EXPECT_EQ(got, bytes("header"));
}

TEST_F(Flash, PartitionsOpenSynchronousButRescueAndNoneLeakIntoChildren)
{
    for (const auto& [path, part] : b().mtd) {
        SCOPED_TRACE(path);
        const int sync = path == "/dev/mtd-rescue" ? 0 : O_SYNC;
        EXPECT_EQ(part.open_flags, O_RDWR | O_CLOEXEC | sync);
    }
}

TEST_F(Flash, FakeBoardKeepsTheBoardContract) { EXPECT_EQ(board_contract(), ""); }
