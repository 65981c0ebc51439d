#include <fcntl.h>

#include "contract/board_contract.hpp"
#include "support.hpp"

using namespace unit;

namespace {

constexpr uint32_t E = 0x10000;
constexpr char KERNEL[] = "/dev/mtd-kernel";
using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + i / 241);
    return v;
}

using Flash = BoardTest;
fake::NorPartition& kernel() { return fake::board().part(KERNEL); }

}  // namespace

// Only the rescue partition is left without O_SYNC; none leaks into children.
TEST_F(Flash, EraseTakesWholeBlocksReadIsOneCallAndWritesStopAtTheFirstFault)
{
    for (const auto& [path, part] : b().mtd)
        EXPECT_EQ(part.open_flags, O_RDWR | O_CLOEXEC | (path == "/dev/mtd-rescue" ? 0 : O_SYNC)) << path;
    EXPECT_EQ(api_flash_erase(st.mtd.kernel_fd, E + 1, 1), 0);
    EXPECT_EQ(kernel().erase_log, (Blocks{{E, E}}));
    kernel().fail_erase_at = kernel().erases + 1;
    EXPECT_EQ(run([&] { return api_flash_erase(st.mtd.kernel_fd, 0, 1); }).out, "Flash Erase mtd erase failed.\n");
    fake::load_partition(KERNEL, 40, bytes("header"));
    Bytes got(6);
    EXPECT_TRUE(api_flash_read(got.data(), st.mtd.kernel_fd, 40, 6) == 0 && got == bytes("header"));
    EXPECT_EQ(run([&] { return api_flash_read(nullptr, -1, 0, 16); }).out, "Could not get MTD device info \n");

    // A write takes whole erase blocks and keeps the bytes around the range; a fault stops it at once.
    const auto none = [](fake::NorPartition&) {};
    const std::string odd = " (not a power of two of at least 1024 bytes)\n", size = "Unsupported MTD erase size 0x";
    const struct {
        std::function<void(fake::NorPartition&)> fault;
        uint32_t offset, length, progress;
        Blocks erased;
        std::string out;
    } cases[] = {
        {none, E + 100, 10, 0, {{E, E}}, ""},
        {none, E - 16, E + 32, 0, {{0, E}, {E, E}, {2 * E, E}}, ""},
        {none, 2 * E, 2 * E, 0, {{2 * E, E}, {3 * E, E}}, ""},
        {[](auto& p) { p.fail_write_at = 1; }, E + 5, 0, 0, {}, ""},  // unaligned and empty: the block is left alone
        // Only 1 to 0 asked of a block, whole or in part: no erase. A block that holds its bytes is not
        // written; a whole block whose read fails is erased and written all the same.
        {[](auto& p) { std::fill(p.bytes.begin(), p.bytes.end(), 0xFF); }, E + 100, 2 * E, 0, {}, ""},
        {[](auto& p) { std::ranges::copy(pattern(E, 99), p.bytes.begin() + E), p.fail_write_at = 1; }, E, E, 0, {}, ""},
        {[](auto& p) { p.fail_read_at = 1; }, 0, 2 * E, 0, {{0, E}, {E, E}}, ""},
        {none, E, 0, 1, {}, "     \b\b\b\b100%\n"},
        {none, 0x300000 - 16, 16, 0, {{0x2F0000, E}}, ""},
        {none, 0, 4 * E, 1, {{0, E}, {E, E}, {2 * E, E}, {3 * E, E}},
         "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n"},
        {none, 0x2FFFF0, 17, 0, {}, "Flash range 0x002ffff0+0x00000011 outside the partition (0x00300000 bytes)\n"},
        {[](auto& p) { p.fail_read_at = 3; }, 16, 2 * E, 0, {{0, E}, {E, E}}, "Flash Write mtd read failed.\n\n"},
        {[](auto& p) { p.fail_erase_at = 1; }, 0, 2 * E, 0, {}, "Flash Write mtd erase failed.\n\n"},
        {[](auto& p) { p.fail_write_at = 2; }, 0, 2 * E, 0, {{0, E}, {E, E}}, "Flash Write mtd write failed.\n\n"},
        {[](auto& p) { p.getinfo_fails = true; }, 0, 2 * E, 0, {}, "Could not get MTD device info \n"},
        {[](auto& p) { p.erase_size = 3000; }, 0, 2 * E, 0, {}, size + "00000bb8" + odd},
        {[](auto& p) { p.erase_size = 512; }, 0, 2 * E, 0, {}, size + "00000200" + odd},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length << " " << c.out);
        SetUp();
        fake::load_partition(KERNEL, 0, pattern(kernel().bytes.size(), 7));
        c.fault(kernel());
        Bytes expected = kernel().bytes;
        const Bytes data = pattern(c.length, 99);
        const bool ok = c.out.empty() || c.progress;
        if (ok) std::copy(data.begin(), data.end(), expected.begin() + c.offset);
        const Outcome o = run(
            [&] { return api_flash_write(data.data(), st.mtd.kernel_fd, c.offset, c.length, uint8_t(c.progress)); });
        EXPECT_EQ(std::tuple(o.result, o.out, kernel().erase_log), std::tuple(ok ? 0 : -1, c.out, c.erased));
        EXPECT_TRUE(!ok || kernel().bytes == expected) << "the bytes around are kept";
    }
}

TEST_F(Flash, FakeBoardKeepsTheBoardContract) { EXPECT_EQ(board_contract(), ""); }
