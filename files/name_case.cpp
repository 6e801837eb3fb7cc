// Letter case folding of file and variable names as NTFS compares them.
#include "files/name_case.h"

#include "registry/ascii_text.h"

#include <algorithm>
#include <cstdint>

namespace {

struct UpperRun {
    std::uint16_t first, last;
    std::uint8_t step;
    std::int32_t move;
};

const UpperRun kUpperRuns[] = {
#include "files/upper_case_table.inc"
};

char32_t upper_code(char32_t code) {
    if (code > 0xffff)
        return code;
    const UpperRun *end = kUpperRuns + sizeof kUpperRuns / sizeof kUpperRuns[0];
    const UpperRun *run = std::upper_bound(
        kUpperRuns, end, code, [](char32_t c, const UpperRun &r) { return c < r.first; });
    if (run == kUpperRuns)
        return code;
    --run;
    if (code > run->last || (code - run->first) % run->step != 0)
        return code;
    return static_cast<char32_t>(static_cast<std::int32_t>(code) + run->move);
}

// The code point of the UTF-8 sequence at `at` and its length; 0 for a byte that does not start
// a valid sequence (kept as it is).
std::size_t decode_utf8(std::string_view text, std::size_t at, char32_t &code) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    unsigned char lead = byte(0);
    std::size_t length = lead >= 0xf0 && lead < 0xf5 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    code = lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; i++) {
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
        code = code << 6 | (byte(i) & 0x3f);
    }
    static const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

void append_utf8(std::string &out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

bool all_ascii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

} // namespace

std::string fold_case(std::string_view text) {
    std::string folded;
    folded.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        auto byte = static_cast<unsigned char>(text[at]);
        char32_t code = 0;
        std::size_t length = byte < 0x80 ? 0 : decode_utf8(text, at, code);
        if (length == 0) {
            folded += ascii_lower(text[at++]);
            continue;
        }
        // As NTFS compares names: both upper-cased; ASCII kept in lower case, as before.
        code = upper_code(code);
        append_utf8(folded, ascii_lower(code));
        at += length;
    }
    return folded;
}

bool equal_folded(std::string_view a, std::string_view b) {
    if (!all_ascii(a) || !all_ascii(b))
        return fold_case(a) == fold_case(b);
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}
