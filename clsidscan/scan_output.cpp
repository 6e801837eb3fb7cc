// Rendering of clsid-scan's reports as text and as JSON Lines.
#include "clsidscan/scan_output.h"

#include "registry/code_page.h"
#include "rules/shadow_rule.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

std::string report_text(const RuleReport &report, unsigned code_page, bool raw_ansi) {
    return raw_ansi ? report.text : utf16_to_utf8(code_page_to_utf16(code_page, report.text));
}

namespace {

const char HEX_DIGITS[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence at `at` (no overlong forms, surrogates or code
// points past U+10FFFF), or 0 when the byte there starts none.
std::size_t utf8_length(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
    };
    auto follows = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
        return byte(i) >= low && byte(i) <= high;
    };
    unsigned first = byte(0);
    if (first < 0x80)
        return 1;
    if (first >= 0xC2 && first <= 0xDF)
        return follows(1) ? 2 : 0;
    if (first >= 0xE0 && first <= 0xEF) {
        unsigned low = first == 0xE0 ? 0xA0 : 0x80, high = first == 0xED ? 0x9F : 0xBF;
        return follows(1, low, high) && follows(2) ? 3 : 0;
    }
    if (first >= 0xF0 && first <= 0xF4) {
        unsigned low = first == 0xF0 ? 0x90 : 0x80, high = first == 0xF4 ? 0x8F : 0xBF;
        return follows(1, low, high) && follows(2) && follows(3) ? 4 : 0;
    }
    return 0;
}

bool is_utf8(std::string_view text) {
    for (std::size_t at = 0, length; at < text.size(); at += length)
        if ((length = utf8_length(text, at)) == 0)
            return false;
    return true;
}

void append_hex_byte(std::string &out, unsigned char byte) {
    out += HEX_DIGITS[byte >> 4];
    out += HEX_DIGITS[byte & 0xF];
}

std::string hex_bytes(std::string_view bytes) {
    std::string out;
    for (char c : bytes)
        append_hex_byte(out, static_cast<unsigned char>(c));
    return out;
}

} // namespace

std::string filetime_text(unsigned long long filetime) {
    // Days since 1601-01-01 to a civil date (proleptic Gregorian, 400-year cycles of 146,097
    // days); every 64-bit FILETIME has one, up to the year 58,000 and some.
    constexpr unsigned long long ticks_per_day = 864000000000ULL;
    unsigned long long days = filetime / ticks_per_day, ticks = filetime % ticks_per_day;
    unsigned long long cycles = days / 146097, day = days % 146097;
    unsigned long long centuries = std::min<unsigned long long>(day / 36524, 3);
    day -= centuries * 36524;
    unsigned long long quads = day / 1461;
    day %= 1461;
    unsigned long long years = std::min<unsigned long long>(day / 365, 3);
    day -= years * 365;
    unsigned long long year = 1601 + cycles * 400 + centuries * 100 + quads * 4 + years;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    static const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 0;
    while (day >= static_cast<unsigned long long>(month_days[month] + (month == 1 && leap)))
        day -= month_days[month] + (month == 1 && leap), month++;
    char text[64];
    std::snprintf(text, sizeof text, "%04llu-%02d-%02lluT%02llu:%02llu:%02llu.%07lluZ", year,
                  month + 1, day + 1, ticks / 36000000000ULL, ticks / 600000000ULL % 60,
                  ticks / 10000000ULL % 60, ticks % 10000000ULL);
    return text;
}

std::string printable_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = utf8_length(text, at);
        auto first = static_cast<unsigned char>(text[at]);
        bool c1_control = length == 2 && first == 0xC2 &&
                          static_cast<unsigned char>(text[at + 1]) < 0xA0; // U+0080 to U+009F
        if (first == '\\' && at + 1 < text.size() && text[at + 1] == 'x') {
            out += "\\x5c"; // a backslash that would read as the start of an escape
            at++;
        } else if (length == 0 || first < 0x20 || first == 0x7F || c1_control) {
            for (std::size_t end = at + std::max<std::size_t>(length, 1); at < end; at++) {
                out += "\\x";
                append_hex_byte(out, static_cast<unsigned char>(text[at]));
            }
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

void print_note(std::string_view note) {
    std::string line = "clsid-scan: " + printable_text(note) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string report_header(const std::string &scope, const RuleReport &report) {
    return "# " + (scope.empty() ? std::string() : printable_text(scope) + ", ") +
           rule_name(report.rule) + " rule, " + std::to_string(view_bits(report.view)) +
           "-bit view\n";
}

std::string json_string(std::string_view utf8) {
    std::string out = "\"";
    for (std::size_t at = 0; at < utf8.size(); at++) {
        char c = utf8[at];
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            std::size_t length = utf8_length(utf8, at);
            if (length == 0) {
                out += "\xEF\xBF\xBD"; // U+FFFD: JSON text is UTF-8, whatever the name held
            } else {
                out.append(utf8, at, length);
                at += length - 1;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20 || u == 0x7F) {
                out += "\\u00";
                append_hex_byte(out, u);
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string json_name_field(const char *field, std::string_view name) {
    std::string out = "\"" + std::string(field) + "\":" + json_string(name);
    if (!is_utf8(name))
        out += ",\"" + std::string(field) + "_hex\":\"" + hex_bytes(name) + "\"";
    return out;
}

namespace {

// The shortest text that reads back as the same double. JSON has no infinity: a score of
// +infinity is written 1e999, which JSON readers take as the largest number or as infinity.
std::string json_number(double value) {
    if (std::isinf(value))
        return value > 0 ? "1e999" : "-1e999";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

} // namespace

std::string json_found_class(const ClassesSides &sides, const RuleReport &report,
                             const FoundClass &found, const std::string &extra) {
    std::string line = "{" + extra + (extra.empty() ? "" : ",") + "\"sources\":[";
    std::string sources_hex;
    bool any_not_utf8 = false;
    if (found.class_key)
        for (std::size_t i = 0; i < found.class_key->sources.size(); i++) {
            const std::string &file = sides.sources[found.class_key->sources[i]].file;
            line += (i ? "," : "") + json_string(file);
            bool utf8 = is_utf8(file);
            any_not_utf8 = any_not_utf8 || !utf8;
            sources_hex += (i ? "," : "") + (utf8 ? "null" : "\"" + hex_bytes(file) + "\"");
        }
    line += "]";
    if (any_not_utf8)
        line += ",\"sources_hex\":[" + sources_hex + "]";
    std::string hives;
    if (found.class_key)
        for (unsigned short index : found.class_key->sources) {
            const ScanSource &source = sides.sources[index];
            if (source.hive_state.empty())
                continue;
            // The note as told on standard error, without the file name it starts with.
            std::string note = source.hive_note;
            if (note.compare(0, source.file.size() + 2, source.file + ": ") == 0)
                note.erase(0, source.file.size() + 2);
            hives += (hives.empty() ? "" : ",") + std::string("{") +
                     json_name_field("file", source.file) +
                     ",\"state\":" + json_string(source.hive_state) +
                     ",\"note\":" + json_string(note) + "}";
        }
    if (!hives.empty())
        line += ",\"hives\":[" + hives + "]";
    line += ",\"side\":\"";
    line += found.class_key ? side_name_of(sides, *found.class_key) : "machine";
    line += "\",\"view\":" + std::to_string(view_bits(report.view));
    line += ",\"rule\":\"" + std::string(rule_name(report.rule)) + "\"";
    line += ",\"key\":" + json_string(found.key);
    line += ",\"description\":" + json_string(found.description);
    if (report.rule == ScanRule::Bare) {
        line += ",\"server\":" + json_string(found.server_path);
        line += ",\"typelib\":" + json_string(found.type_lib);
    } else if (report.rule == ScanRule::Shadow) {
        line += ",\"subkey\":" + json_string(found.subkey);
        line += ",\"user_server\":" + json_string(found.server_path);
        line += ",\"machine_server\":" +
                (found.machine_has_server ? json_string(found.machine_server) : "null");
    } else {
        line += ",\"score\":" + json_number(found.score);
    }
    line += ",\"written\":" + (found.written ? "\"" + filetime_text(found.written) + "\"" : "null");
    return line + "}";
}

bool scan_view(const ClassesSides &sides, const ScanSettings &settings, ViewScan &scan) {
    scan.view.code_page = settings.sources.code_page;
    build_classes_view(sides, scan.view);
    for (ScanView which : settings.views)
        for (ScanRule rule : settings.rules) {
            scan.reports.push_back(rule == ScanRule::Shadow
                                       ? scan_shadowed_classes(scan.view, sides, which)
                                       : scan_classes(scan.view, which, rule));
            if (scan.reports.back().out_of_memory)
                return false;
        }
    return true;
}

std::string render_reports(const ClassesSides &sides, const std::vector<RuleReport> &reports,
                           const ScanSettings &settings, const std::string &scope,
                           const std::string &json_extra, bool headers) {
    std::string out;
    for (const RuleReport &report : reports) {
        if (settings.json) {
            for (const FoundClass &one : report.found)
                out += json_found_class(sides, report, one, json_extra) + "\n";
            continue;
        }
        if (headers)
            out += report_header(scope, report);
        out += report_text(report, settings.sources.code_page, settings.raw_ansi);
    }
    return out;
}
