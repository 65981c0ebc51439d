#include "launcher/crc.hpp"

#include <array>
#include <cstddef>

namespace bladeboot {

namespace {

constexpr uint32_t POLY = 0xEDB88320u;

// Slicing-by-16: table[k][b] is the register contribution of byte b followed
// by k zero bytes, so sixteen bytes fold into the register with sixteen
// independent lookups. Only four of them wait on the register, which is what
// lets it keep pace with zlib. The tables take 16 KiB.
using CrcTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr CrcTables make_tables()
{
    CrcTables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ POLY : crc >> 1;
        t[0][b] = crc;
    }
    for (size_t k = 1; k < t.size(); ++k)
        for (size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFu];
    return t;
}

constexpr CrcTables TABLES = make_tables();

// The register is reflected, so the byte that enters first is its low byte
// whatever the host's byte order; built from bytes, any alignment will do.
inline uint32_t load_le32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Eight bytes through slicing-by-8, the register folded into the first four.
inline uint32_t fold8(uint32_t crc, const uint8_t* p)
{
    const uint32_t a = crc ^ load_le32(p);
    const uint32_t b = load_le32(p + 4);
    return (TABLES[7][a & 0xFFu] ^ TABLES[6][(a >> 8) & 0xFFu] ^ TABLES[5][(a >> 16) & 0xFFu] ^ TABLES[4][a >> 24]) ^
           (TABLES[3][b & 0xFFu] ^ TABLES[2][(b >> 8) & 0xFFu] ^ TABLES[1][(b >> 16) & 0xFFu] ^ TABLES[0][b >> 24]);
}

// Product of two reflected polynomials mod P (bit 31 is x^0).
constexpr uint32_t multiply_mod(uint32_t a, uint32_t b)
{
    uint32_t product = 0;
    for (uint32_t bit = 0x80000000u; bit != 0; bit >>= 1) {
        if ((a & bit) != 0) product ^= b;
        b = (b & 1u) ? (b >> 1) ^ POLY : b >> 1;
    }
    return product;
}

// x^(8n) mod P: multiplying a register by it is what feeding n zero bytes
// would do to it.
constexpr uint32_t zero_bytes_operator(uint32_t n)
{
    uint32_t result = 0x80000000u;
    for (uint32_t square = 0x00800000u; n != 0; n >>= 1, square = multiply_mod(square, square))
        if ((n & 1u) != 0) result = multiply_mod(result, square);
    return result;
}

// One register alone waits on its own lookups every step, which caps it
// near zlib. Four registers over four adjacent stretches of a block have
// nothing to wait on each other, so the CPU overlaps their lookups; the
// stretches are then joined as if each had been fed after the one before.
constexpr uint32_t STREAMS = 4;
constexpr uint32_t STRETCH = 16 * 1024;
constexpr uint32_t BLOCK = STREAMS * STRETCH;
constexpr uint32_t SKIP_STRETCH = zero_bytes_operator(STRETCH);

uint32_t crc_blocks(const uint8_t* p, uint32_t blocks, uint32_t crc)
{
    for (; blocks != 0; --blocks, p += BLOCK) {
        uint32_t c0 = crc, c1 = 0, c2 = 0, c3 = 0;
        for (uint32_t i = 0; i < STRETCH; i += 8) {
            c0 = fold8(c0, p + i);
            c1 = fold8(c1, p + STRETCH + i);
            c2 = fold8(c2, p + 2 * STRETCH + i);
            c3 = fold8(c3, p + 3 * STRETCH + i);
        }
        crc = multiply_mod(multiply_mod(multiply_mod(c0, SKIP_STRETCH) ^ c1, SKIP_STRETCH) ^ c2, SKIP_STRETCH) ^ c3;
    }
    return crc;
}

}  // namespace

uint32_t gen_crc(const uint8_t* buffer, uint32_t count, uint32_t start)
{
    uint32_t crc = crc_blocks(buffer, count / BLOCK, start);
    const uint8_t* p = buffer + (count - count % BLOCK);
    for (uint32_t blocks = count % BLOCK / 16; blocks != 0; --blocks, p += 16) {
        // The twelve lookups that do not wait on the register go first, so
        // only four loads and a short xor tree sit on the register's path.
        const uint32_t w1 = load_le32(p + 4);
        const uint32_t w2 = load_le32(p + 8);
        const uint32_t w3 = load_le32(p + 12);
        const uint32_t ahead = (TABLES[11][w1 & 0xFFu] ^ TABLES[10][(w1 >> 8) & 0xFFu] ^
                                TABLES[9][(w1 >> 16) & 0xFFu] ^ TABLES[8][w1 >> 24]) ^
                               (TABLES[7][w2 & 0xFFu] ^ TABLES[6][(w2 >> 8) & 0xFFu] ^
                                TABLES[5][(w2 >> 16) & 0xFFu] ^ TABLES[4][w2 >> 24]) ^
                               (TABLES[3][w3 & 0xFFu] ^ TABLES[2][(w3 >> 8) & 0xFFu] ^
                                TABLES[1][(w3 >> 16) & 0xFFu] ^ TABLES[0][w3 >> 24]);
        const uint32_t w0 = crc ^ load_le32(p);
        crc = ahead ^ ((TABLES[15][w0 & 0xFFu] ^ TABLES[14][(w0 >> 8) & 0xFFu]) ^
                       (TABLES[13][(w0 >> 16) & 0xFFu] ^ TABLES[12][w0 >> 24]));
    }
    for (uint32_t rest = count % 16; rest != 0; --rest, ++p) crc = (crc >> 8) ^ TABLES[0][(crc ^ *p) & 0xFFu];
    return crc;
}

int CheckCrc(const uint8_t* buffer, uint32_t count, uint32_t expected)
{
    return gen_crc(buffer, count, 0xFFFFFFFFu) == expected ? 0 : 1;
}

uint32_t swapw(uint32_t value)
{
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

}  // namespace bladeboot
