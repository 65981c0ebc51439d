#include "launcher/crc.hpp"

uint32_t gen_crc(const uint8_t* buffer, uint32_t count, uint32_t start)
{
    uint32_t crc = start;
    for (uint32_t i = 0; i < count; ++i) {
        crc ^= buffer[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
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
