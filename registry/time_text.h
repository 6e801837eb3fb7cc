// Times as ISO 8601 text; in registry/, below every folder that writes them (files/, rules/,
// clsidscan/).
#pragma once

#include <cstdint>
#include <string>

// "YYYY-MM-DDTHH:MM:SS.fffffffZ", UTC, from a FILETIME (100 ns since 1601-01-01), any value: one
// past the year 9999 is written 9999-12-31T23:59:59.9999999Z (and one before 0000, 0000-01-01).
std::string format_filetime(std::uint64_t filetime);
// The same from a Unix time with nanoseconds (kept to 100 ns), any value.
std::string format_unix_time(std::int64_t seconds, std::uint32_t nanoseconds);
