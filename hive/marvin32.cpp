// Marvin32 hash over a byte range, little-endian words, as the hive logs store it.
#include "hive/marvin32.h"

namespace {

std::uint32_t rotate_left(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

void mix(std::uint32_t &lane0, std::uint32_t &lane1) {
    lane1 ^= lane0;
    lane0 = rotate_left(lane0, 20);
    lane0 += lane1;
    lane1 = rotate_left(lane1, 9);
    lane1 ^= lane0;
    lane0 = rotate_left(lane0, 27);
    lane0 += lane1;
    lane1 = rotate_left(lane1, 19);
}

std::uint32_t read_le32(const unsigned char *bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

} // namespace

std::uint64_t marvin32(const unsigned char *data, std::size_t size, std::uint64_t seed) {
    std::uint32_t lane0 = std::uint32_t(seed);
    std::uint32_t lane1 = std::uint32_t(seed >> 32);
    for (; size >= 4; data += 4, size -= 4) {
        lane0 += read_le32(data);
        mix(lane0, lane1);
    }
    // The last 0..3 bytes, followed by a 0x80 byte, make the final word.
    std::uint32_t last = 0x80;
    for (std::size_t i = size; i > 0; --i)
        last = (last << 8) | data[i - 1];
    lane0 += last;
    mix(lane0, lane1);
    mix(lane0, lane1);
    return std::uint64_t(lane1) << 32 | lane0;
}
