// Marvin32: the seeded 64-bit hash that guards each entry of a new-format hive transaction log.
#pragma once

#include <cstddef>
#include <cstdint>

// The seed the logs are hashed with, as a 64-bit number (low dword first in the state).
constexpr std::uint64_t HIVE_LOG_MARVIN_SEED = 0x82EF4D887A4E55C5ULL;

// Hash of `size` bytes at `data`; the high dword is the second lane of the state.
std::uint64_t marvin32(const unsigned char *data, std::size_t size,
                       std::uint64_t seed = HIVE_LOG_MARVIN_SEED);
