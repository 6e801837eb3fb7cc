// Rendering of clsid-scan's reports as text and as JSON Lines.
#include "clsidscan/scan_output.h"

#include "registry/code_page.h"
#include "rules/shadow_rule.h"

#include <charconv>
#include <cmath>

std::string report_text(const RuleReport &report, unsigned code_page, bool raw_ansi) {
    return raw_ansi ? report.text : utf16_to_utf8(code_page_to_utf16(code_page, report.text));
}

std::string report_header(const std::string &scope, const RuleReport &report) {
    return "# " + (scope.empty() ? std::string() : scope + ", ") + rule_name(report.rule) +
           " rule, " + std::to_string(view_bits(report.view)) + "-bit view\n";
}

std::string json_string(const std::string &utf8) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : utf8) {
        unsigned char u = static_cast<unsigned char>(c);
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
                out += hex[u >> 4];
                out += hex[u & 0xF];
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
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
    if (found.class_key)
        for (std::size_t i = 0; i < found.class_key->sources.size(); i++)
            line += (i ? "," : "") + json_string(sides.sources[found.class_key->sources[i]].file);
    line += "]";
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
            hives += (hives.empty() ? "" : ",") + std::string("{\"file\":") +
                     json_string(source.file) + ",\"state\":" + json_string(source.hive_state) +
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
