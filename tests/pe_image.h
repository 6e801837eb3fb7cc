// Test data: the first bytes of a PE image, for the tests of server file examination.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

// A PE image's first bytes: an MZ header whose e_lfanew is `offset`, then the signature and file
// header there.
inline std::string pe_bytes(std::uint32_t offset, std::uint16_t machine,
                            std::uint16_t characteristics, std::size_t size = 0) {
    std::string bytes(std::max<std::size_t>(size, std::size_t(offset) + 24), '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    for (int i = 0; i < 4; i++)
        bytes[0x3c + i] = static_cast<char>(offset >> (8 * i));
    bytes.replace(offset, 4, std::string("PE\0\0", 4));
    bytes[offset + 4] = static_cast<char>(machine);
    bytes[offset + 5] = static_cast<char>(machine >> 8);
    bytes[offset + 22] = static_cast<char>(characteristics);
    bytes[offset + 23] = static_cast<char>(characteristics >> 8);
    return bytes;
}
