// The platform interface's code page calls over glibc's iconv, for the builds other than Windows.
#include "scanframe/platform.h"

#include <iconv.h>

#include <mutex>

namespace {

// One code page's two converters, opened on first use and kept for the life of the process. The
// mutex keeps each converter to one caller at a time: an iconv_t holds conversion state.
struct Converters {
    iconv_t to_code_page;
    iconv_t from_code_page;
    bool opened;
};

std::mutex converters_lock;

const char *iconv_name(unsigned code_page) {
    return code_page == 932 ? "CP932" : code_page == 1252 ? "CP1252" : nullptr;
}

Converters open_converters(unsigned code_page) {
    const iconv_t failed = reinterpret_cast<iconv_t>(-1);
    Converters c{failed, failed, false};
    if (!iconv_name(code_page))
        return c;
    c.to_code_page = iconv_open(iconv_name(code_page), "UTF-16LE");
    c.from_code_page = iconv_open("UTF-16LE", iconv_name(code_page));
    c.opened = c.to_code_page != failed && c.from_code_page != failed;
    return c;
}

// The converters of 932 or 1252; NULL for any other code page or when iconv lacks it. The caller
// holds converters_lock.
Converters *converters_for(unsigned code_page) {
    static Converters cp932 = open_converters(932), cp1252 = open_converters(1252);
    Converters *c = code_page == 932 ? &cp932 : code_page == 1252 ? &cp1252 : nullptr;
    return c && c->opened ? c : nullptr;
}

// Converts one sequence with a fresh state; returns the number of output bytes, or 0 on failure.
std::size_t convert_one(iconv_t cd, const char *in, std::size_t in_bytes, char *out,
                        std::size_t out_capacity) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *in_ptr = const_cast<char *>(in);
    char *out_ptr = out;
    std::size_t in_left = in_bytes, out_left = out_capacity;
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1) ||
        in_left != 0)
        return 0;
    return out_capacity - out_left;
}

} // namespace

bool code_page_installed(unsigned code_page) {
    std::lock_guard<std::mutex> hold(converters_lock);
    return converters_for(code_page) != nullptr;
}

unsigned code_page_encode_unit(unsigned code_page, char16_t unit, char bytes[2]) {
    std::lock_guard<std::mutex> hold(converters_lock);
    Converters *c = converters_for(code_page);
    if (!c || (unit >= 0xD800 && unit < 0xE000))
        return 0;
    char in[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    char out[8];
    std::size_t n = convert_one(c->to_code_page, in, 2, out, sizeof out);
    if (n != 1 && n != 2)
        return 0;
    bytes[0] = out[0];
    bytes[1] = n == 2 ? out[1] : '\0';
    return static_cast<unsigned>(n);
}

bool code_page_decode_unit(unsigned code_page, const char *bytes, unsigned count, char16_t *unit) {
    std::lock_guard<std::mutex> hold(converters_lock);
    Converters *c = converters_for(code_page);
    char out[8];
    if (!c || count < 1 || count > 2 ||
        convert_one(c->from_code_page, bytes, count, out, sizeof out) != 2)
        return false;
    *unit = static_cast<char16_t>(static_cast<unsigned char>(out[0]) |
                                  static_cast<unsigned char>(out[1]) << 8);
    return true;
}
