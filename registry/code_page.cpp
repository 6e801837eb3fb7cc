// Conversions between UTF-16, UTF-8 and the ANSI code pages 932 and 1252, through lookup tables
// filled once from the system's own conversions (the code page calls of the platform interface).
#include "registry/code_page.h"

#include "scanframe/platform.h"

#include <array>
#include <memory>
#include <vector>

namespace {

constexpr char DEFAULT_CHAR = '?';
constexpr char16_t REPLACEMENT = 0xFFFD;

// Both directions of one code page. to_bytes holds, for every BMP character, its one or two
// bytes (0 when unmappable; the NUL character maps to itself). from_single maps each single byte,
// from_double each lead/trail pair; lead marks the lead bytes of a double-byte code page.
struct CodePageTables {
    std::vector<std::array<char, 2>> to_bytes;
    std::vector<unsigned char> to_length;
    std::array<char16_t, 256> from_single{};
    std::array<bool, 256> lead{};
    std::vector<char16_t> from_double; // 65536 entries, REPLACEMENT when undefined
};

std::unique_ptr<CodePageTables> build_tables(unsigned code_page) {
    if (!code_page_installed(code_page))
        return nullptr;
    auto tables = std::make_unique<CodePageTables>();
    tables->to_bytes.assign(0x10000, {0, 0});
    tables->to_length.assign(0x10000, 0);
    tables->from_double.assign(0x10000, REPLACEMENT);
    for (unsigned c = 1; c < 0x10000; c++) {
        if (c >= 0xD800 && c < 0xE000)
            continue;
        char out[2] = {0, 0};
        unsigned n = code_page_encode_unit(code_page, static_cast<char16_t>(c), out);
        if (n == 1 || n == 2) {
            tables->to_bytes[c] = {out[0], n == 2 ? out[1] : '\0'};
            tables->to_length[c] = static_cast<unsigned char>(n);
        }
    }
    tables->to_length[0] = 1;
    for (unsigned b = 0; b < 256; b++) {
        char in = static_cast<char>(b);
        char16_t unit;
        tables->from_single[b] =
            code_page_decode_unit(code_page, &in, 1, &unit) ? unit : REPLACEMENT;
    }
    tables->from_single[0] = 0;
    if (code_page == 932) {
        for (unsigned lead = 0x81; lead < 0x100; lead++) {
            if (lead >= 0xA0 && lead < 0xE0)
                continue;
            for (unsigned trail = 0x40; trail < 0x100; trail++) {
                char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                char16_t unit;
                if (code_page_decode_unit(code_page, in, 2, &unit)) {
                    tables->lead[lead] = true;
                    tables->from_double[lead << 8 | trail] = unit;
                }
            }
        }
    } else {
        // The system's 1252 maps the five bytes the standard leaves undefined to the C1 controls
        // of the same value, in both directions.
        for (unsigned b : {0x81u, 0x8Du, 0x8Fu, 0x90u, 0x9Du}) {
            tables->from_single[b] = static_cast<char16_t>(b);
            tables->to_bytes[b] = {static_cast<char>(b), '\0'};
            tables->to_length[b] = 1;
        }
    }
    return tables;
}

// The tables of a code page, or NULL when it is not one of the two or the system lacks it. Each
// is built by the first call that asks for it; a static's initialisation runs once even when
// threads ask at the same time.
const CodePageTables *tables_for(unsigned code_page) {
    if (code_page == 932) {
        static const std::unique_ptr<CodePageTables> tables_932 = build_tables(932);
        return tables_932.get();
    }
    if (code_page == 1252) {
        static const std::unique_ptr<CodePageTables> tables_1252 = build_tables(1252);
        return tables_1252.get();
    }
    return nullptr;
}

bool is_high_surrogate(char16_t c) {
    return c >= 0xD800 && c < 0xDC00;
}
bool is_low_surrogate(char16_t c) {
    return c >= 0xDC00 && c < 0xE000;
}

} // namespace

bool code_page_supported(unsigned code_page) {
    return tables_for(code_page) != nullptr;
}

// UTF-16 units, given by `unit_at`, to the code page's bytes in `out`; each unit gives at most
// two bytes, so `out` is sized once and trimmed at the end.
template <class UnitAt>
void units_to_code_page(unsigned code_page, std::size_t units, UnitAt unit_at, std::string &out) {
    const CodePageTables &tables = *tables_for(code_page);
    out.resize(2 * units);
    char *next = &out[0];
    for (std::size_t i = 0; i < units; i++) {
        char16_t c = unit_at(i);
        if (is_high_surrogate(c) && i + 1 < units && is_low_surrogate(unit_at(i + 1))) {
            *next++ = DEFAULT_CHAR; // no ANSI code page holds characters beyond the BMP
            i++;
            continue;
        }
        unsigned length = tables.to_length[c];
        if (length == 0) {
            *next++ = DEFAULT_CHAR;
        } else {
            next[0] = tables.to_bytes[c][0];
            next[1] = tables.to_bytes[c][1];
            next += length;
        }
    }
    out.resize(static_cast<std::size_t>(next - out.data()));
}

std::string utf16_to_code_page(unsigned code_page, const char16_t *text, std::size_t units) {
    std::string out;
    units_to_code_page(
        code_page, units, [text](std::size_t i) { return text[i]; }, out);
    return out;
}

void utf16le_to_code_page(unsigned code_page, std::string_view utf16le, std::string &out) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(utf16le.data());
    units_to_code_page(
        code_page, utf16le.size() / 2,
        [bytes](std::size_t i) {
            return static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        },
        out);
}

// The code page's bytes to UTF-16 units, each handed to `emit`. A byte sequence the code page
// does not define becomes U+FFFD, one per byte (a lead byte without its trail byte included).
template <class Emit> void code_page_units(unsigned code_page, std::string_view bytes, Emit emit) {
    const CodePageTables &tables = *tables_for(code_page);
    for (std::size_t i = 0; i < bytes.size(); i++) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        char16_t c = tables.from_single[b];
        if (tables.lead[b] && i + 1 < bytes.size()) {
            char16_t pair = tables.from_double[b << 8 | static_cast<unsigned char>(bytes[i + 1])];
            if (pair != REPLACEMENT) {
                c = pair;
                i++;
            }
        }
        emit(c);
    }
}

void code_page_to_utf16le(unsigned code_page, std::string_view bytes, std::string &out) {
    out.resize(2 * bytes.size());
    char *next = &out[0];
    code_page_units(code_page, bytes, [&next](char16_t c) {
        *next++ = static_cast<char>(c & 0xFF);
        *next++ = static_cast<char>(c >> 8);
    });
    out.resize(static_cast<std::size_t>(next - out.data()));
}

std::string utf16_to_code_page(unsigned code_page, const std::u16string &text) {
    return utf16_to_code_page(code_page, text.data(), text.size());
}

std::u16string code_page_to_utf16(unsigned code_page, const std::string &bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    code_page_units(code_page, bytes, [&out](char16_t c) { out += c; });
    return out;
}

std::string utf16_to_utf8(const std::u16string &text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); i++) {
        char32_t c = text[i];
        if (is_high_surrogate(text[i]) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = REPLACEMENT;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool utf8_to_utf16(const std::string &bytes, std::u16string &out) {
    out.clear();
    out.reserve(bytes.size());
    const std::size_t size = bytes.size();
    for (std::size_t i = 0; i < size;) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        char32_t c;
        std::size_t length;
        char32_t minimum;
        if (b < 0x80) {
            c = b, length = 1, minimum = 0;
        } else if (b >= 0xC2 && b < 0xE0) {
            c = b & 0x1F, length = 2, minimum = 0x80;
        } else if (b >= 0xE0 && b < 0xF0) {
            c = b & 0x0F, length = 3, minimum = 0x800;
        } else if (b >= 0xF0 && b < 0xF5) {
            c = b & 0x07, length = 4, minimum = 0x10000;
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        for (std::size_t k = 1; k < length; k++) {
            unsigned char t = static_cast<unsigned char>(bytes[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            c = c << 6 | (t & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
            return false;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += length;
    }
    return true;
}

std::u16string utf16le_bytes_to_text(const std::string &data) {
    std::u16string text(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); i++)
        text[i] = static_cast<char16_t>(static_cast<unsigned char>(data[2 * i]) |
                                        static_cast<unsigned char>(data[2 * i + 1]) << 8);
    return text;
}

std::string text_to_utf16le_bytes(const std::u16string &text) {
    std::string data(text.size() * 2, '\0');
    for (std::size_t i = 0; i < text.size(); i++) {
        data[2 * i] = static_cast<char>(text[i] & 0xFF);
        data[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return data;
}

char16_t upper_case_unit(char16_t c) {
    if (c < 0x80)
        return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F) || (c >= 0xFF41 && c <= 0xFF5A))
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<char16_t>(c - 0x50);
    if (c == 0xFF)
        return 0x178;
    const bool odd_lower = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
    const bool even_lower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if ((odd_lower && (c & 1)) || (even_lower && !(c & 1)))
        return static_cast<char16_t>(c - 1);
    return c;
}
