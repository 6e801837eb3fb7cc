// ASCII letter case and hex digits; in registry/, below every folder that folds or writes them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The ASCII letter in the other case; any other byte or UTF-16 unit as it is (never the locale's).
template <typename Unit> constexpr Unit ascii_lower(Unit c) {
    return c >= 'A' && c <= 'Z' ? static_cast<Unit>(c - 'A' + 'a') : c;
}
template <typename Unit> constexpr Unit ascii_upper(Unit c) {
    return c >= 'a' && c <= 'z' ? static_cast<Unit>(c - 'a' + 'A') : c;
}

inline std::string ascii_lowered(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        c = ascii_lower(c);
    return out;
}

inline std::string ascii_raised(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        c = ascii_upper(c);
    return out;
}

// Two lowercase hex digits a byte.
inline void append_hex_byte(std::string &out, unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

inline std::string hex_text(const unsigned char *bytes, std::size_t size) {
    std::string out;
    out.reserve(2 * size);
    for (std::size_t i = 0; i < size; i++)
        append_hex_byte(out, bytes[i]);
    return out;
}

inline std::string hex_text(std::string_view bytes) {
    return hex_text(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}
