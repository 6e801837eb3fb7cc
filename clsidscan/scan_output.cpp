// Rendering of clsid-scan's reports as text and as JSON Lines.
#include "clsidscan/scan_output.h"

#include "clsidscan/finding_files.h"
#include "clsidscan/finding_ids.h"
#include "clsidscan/findings_json.h"
#include "registry/ascii_text.h"
#include "registry/code_page.h"
#include "registry/time_text.h"
#include "rules/deleted_rule.h"
#include "rules/hijack_rules.h"
#include "rules/severity.h"
#include "rules/shadow_rule.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>

std::string report_text(const RuleReport &report, unsigned code_page, bool raw_ansi) {
    return raw_ansi ? report.text : utf16_to_utf8(code_page_to_utf16(code_page, report.text));
}

namespace {

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

// Text for JSON, a CSV field or a body file name: UTF-8 whatever the bytes (U+FFFD for the others).
std::string utf8_text(std::string_view bytes) {
    std::string out;
    for (std::size_t at = 0, length; at < bytes.size(); at += std::max<std::size_t>(length, 1)) {
        length = utf8_length(bytes, at);
        if (length == 0)
            out += "\xEF\xBF\xBD";
        else
            out.append(bytes, at, length);
    }
    return out;
}

bool is_utf8(std::string_view text) {
    for (std::size_t at = 0, length; at < text.size(); at += length)
        if ((length = utf8_length(text, at)) == 0)
            return false;
    return true;
}

} // namespace

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
           "-bit view" + (report.deleted ? ", deleted keys" : "") + "\n";
}

std::string json_string(std::string_view text) {
    // JSON text is UTF-8, whatever the name held: what is not becomes U+FFFD first.
    std::string utf8 = utf8_text(text);
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
        out += ",\"" + std::string(field) + "_hex\":\"" + hex_text(name) + "\"";
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

std::string json_server_file(const ServerFile &file) {
    bool present = file.state == FileState::Present;
    std::string out = "{" + json_name_field("path", file.path);
    if (file.path.empty())
        out = "{\"path\":null";
    out += ",\"state\":\"" + std::string(state_name(file.state)) + "\"";
    out += ",\"size\":" + (present ? std::to_string(file.size) : "null");
    out += ",\"sha256\":" + (present ? "\"" + file.sha256 + "\"" : "null");
    out += ",\"modified\":" + (present ? json_string(file.modified) : "null");
    out += ",\"pe\":";
    if (file.pe)
        out += std::string("{\"machine\":\"") + machine_name(file.pe->machine) +
               "\",\"dll\":" + (file.pe->dll ? "true" : "false") + "}";
    else
        out += "null";
    out += ",\"location\":\"" + std::string(location_name(file.location)) + "\"";
    out += ",\"windows_path\":" + json_string(file.windows_path);
    if (!file.target.empty())
        out += "," + json_name_field("target", file.target);
    if (!file.problem.empty())
        out += ",\"problem\":" + json_string(file.problem);
    if (!file.case_variants.empty()) {
        out += ",\"case_variants\":[";
        for (std::size_t i = 0; i < file.case_variants.size(); i++)
            out += (i ? "," : "") + json_server_file(file.case_variants[i]);
        out += "]";
    }
    return out + "}";
}

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
            sources_hex += (i ? "," : "") + (utf8 ? "null" : "\"" + hex_text(file) + "\"");
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
    } else if (report.rule == ScanRule::Name) {
        std::optional<ClassServer> server = finding_server(found);
        line += ",\"server\":" + (server ? json_string(server->value.text) : std::string("null"));
        line += ",\"score\":" + json_number(found.score);
    } else if (report.rule == ScanRule::Handler) {
        line += ",\"handler\":" + json_string(found.handler);
    } else {
        line += ",\"server\":" + (found.server_path.empty() && report.rule == ScanRule::TreatAs
                                      ? std::string("null")
                                      : json_string(found.server_path));
        if (report.rule == ScanRule::Scriptlet)
            line += ",\"script\":" + (found.script.empty() ? "null" : json_string(found.script));
        if (report.rule == ScanRule::Known || report.rule == ScanRule::Stock)
            line += ",\"expected\":" + json_string(found.expected);
        if (report.rule == ScanRule::TreatAs) {
            line += ",\"chain\":[";
            for (std::size_t i = 0; i < found.chain.size(); i++)
                line += (i ? "," : "") + json_string(found.chain[i]);
            line += "]";
        }
    }
    if (!found.assembly.empty() || !found.clr_class.empty())
        line += ",\"assembly\":" + json_string(found.assembly) +
                ",\"class\":" + json_string(found.clr_class);
    line += ",\"severity\":\"" + std::string(severity_name(found.severity)) + "\",\"reasons\":[";
    for (std::size_t i = 0; i < found.reasons.size(); i++)
        line += (i ? "," : "") + json_string(found.reasons[i]);
    line += "],\"loaded_by\":[";
    for (std::size_t i = 0; i < found.loaded_by.size(); i++) {
        const ClassLoader &loader = found.loaded_by[i];
        line += std::string(i ? "," : "") + "{\"kind\":\"" + loader_kind_name(loader.kind) +
                "\",\"side\":\"" + (loader.user ? "user" : "machine") + "\"," +
                (loader.in_file ? json_name_field("file", loader.place)
                                : "\"key\":" + json_string(loader.place)) +
                ",\"value\":" + json_string(loader.value) + "}";
    }
    line += "]";
    line +=
        ",\"written\":" + (found.written ? "\"" + format_filetime(found.written) + "\"" : "null");
    if (found.deleted) {
        line += ",\"deleted\":true,\"carved_from\":" + json_string(found.carved_from) +
                ",\"unrecoverable\":[";
        for (std::size_t i = 0; i < found.unrecoverable.size(); i++)
            line += (i ? "," : "") + json_string(found.unrecoverable[i]);
        line += "]";
    }
    std::string file_json = found.server_file ? json_server_file(found.server_file->file) : "null";
    if (found.server_file && !found.server_file->unexpanded_variable.empty()) {
        // What a REG_SZ naming %VAR% leads to if Windows expands it after all.
        file_json.pop_back();
        file_json +=
            "," + json_name_field("unexpanded_variable", found.server_file->unexpanded_variable);
        if (found.server_file->if_expanded)
            file_json += ",\"if_expanded\":" + json_server_file(*found.server_file->if_expanded);
        file_json += "}";
    }
    line += ",\"file\":" + file_json;
    if (found.server_file && found.server_file->passed_over)
        line += ",\"passed_over\":" + json_server_file(*found.server_file->passed_over);
    return line + "}";
}

namespace {

// Runs the rules of `settings` but the deleted rule over `view`, the merge of `sides`, in each
// view; the reports go to `reports`, view by view, in the order of the rules.
bool run_rules(const ClassesSides &sides, const MemoryRegistry &view, const ScanSettings &settings,
               const ScanPlace &place, Bitness which, std::vector<RuleReport> &reports) {
    HijackScan hijacks{&view, &sides, place.environment, place.volume, place.loaders};
    std::vector<ScanRule> hijack_rules;
    for (ScanRule rule : settings.rules)
        if (rule != ScanRule::Shadow && rule != ScanRule::Bare && rule != ScanRule::Name &&
            rule != ScanRule::Deleted)
            hijack_rules.push_back(rule);
    // The hijack rules share one pass over the classes; their reports keep their places.
    std::vector<RuleReport> hijacks_found = scan_hijacks(hijacks, which, hijack_rules);
    std::size_t next_hijack = 0;
    for (ScanRule rule : settings.rules) {
        if (rule == ScanRule::Deleted)
            continue;
        reports.push_back(rule == ScanRule::Shadow ? scan_shadowed_classes(view, sides, which)
                          : rule == ScanRule::Bare || rule == ScanRule::Name
                              ? scan_classes(view, which, rule)
                              : std::move(hijacks_found[next_hijack++]));
        if (reports.back().out_of_memory)
            return false;
    }
    return true;
}

// Marks a finding as one of a recovered class.
void flag_deleted(FoundClass &found, const RecoveredClass &cls) {
    found.deleted = true;
    found.carved_from = carved_image_name(cls.image);
    found.unrecoverable = cls.unrecoverable;
}

// The rules over each copy of the sides with carved class keys put back: only the findings of
// those classes are kept, one report a view and rule, flagged deleted.
bool scan_deleted(const ClassesSides &sides, const ScanSettings &settings, ViewScan &scan,
                  const ScanPlace &place) {
    std::vector<std::string> notes;
    scan.recovered = recover_deleted_classes(sides, notes);
    for (const std::string &note : notes)
        print_note(note);
    if (scan.recovered.empty())
        return true;
    const Environment defaults = place.environment ? Environment() : machine_environment();
    const ViewEnvironments environments =
        view_environments(place.environment ? *place.environment : defaults);
    scan.recovered_views.resize(scan.recovered.size());
    std::vector<bool> built(scan.recovered.size(), false);
    for (Bitness which : settings.views) {
        // Every view gets its reports, found or not: under --system the machine's and each
        // user's reports are matched by place.
        std::vector<RuleReport> merged;
        for (ScanRule rule : settings.rules)
            merged.push_back(RuleReport{which, rule, std::string(), {}, false, {}, true});
        for (std::size_t i = 0; i < scan.recovered.size(); ++i) {
            const RecoveredSides &copy = scan.recovered[i];
            std::map<std::string, const RecoveredClass *> classes;
            for (const RecoveredClass &cls : copy.classes)
                if (cls.wow == (which == Bitness::Bits32))
                    classes.emplace(ascii_raised(utf16_to_utf8(utf16le_bytes_to_text(cls.key))),
                                    &cls);
            if (classes.empty())
                continue;
            MemoryRegistry &view = scan.recovered_views[i];
            if (!built[i]) {
                view.code_page = settings.sources.code_page;
                build_classes_view(copy.sides, view);
                built[i] = true;
            }
            std::vector<RuleReport> reports;
            if (!run_rules(copy.sides, view, settings, place, which, reports))
                return false;
            reports.push_back(scan_deleted_classes(view, which, copy.classes, environments));
            for (RuleReport &report : reports) {
                RuleReport *into = nullptr;
                for (RuleReport &candidate : merged)
                    if (candidate.rule == report.rule)
                        into = &candidate;
                if (!into)
                    continue;
                into->out_of_memory = into->out_of_memory || report.out_of_memory;
                for (FoundClass &found : report.found) {
                    auto cls = classes.find(ascii_raised(found.key));
                    if (cls == classes.end())
                        continue;
                    flag_deleted(found, *cls->second);
                    into->text += found.entry;
                    into->found.push_back(std::move(found));
                }
            }
        }
        for (RuleReport &report : merged) {
            if (report.out_of_memory)
                return false;
            scan.reports.push_back(std::move(report));
        }
    }
    return true;
}

} // namespace

bool scan_view(const ClassesSides &sides, const ScanSettings &settings, ViewScan &scan,
               const ScanPlace &place) {
    scan.view.code_page = settings.sources.code_page;
    build_classes_view(sides, scan.view);
    for (Bitness which : settings.views)
        if (!run_rules(sides, scan.view, settings, place, which, scan.reports))
            return false;
    if (!scan_deleted(sides, settings, scan, place))
        return false;
    for (RuleReport &report : scan.reports)
        for (FoundClass &found : report.found)
            if (found.loaded_by.empty())
                found.loaded_by = loaders_of(place.loaders, found.key);
    return true;
}

namespace {

std::string joined_reasons(const FoundClass &found) {
    std::string joined;
    for (const std::string &reason : found.reasons)
        joined += (joined.empty() ? "" : "; ") + reason;
    return joined;
}

std::string written_text(const FoundClass &found) {
    return found.written ? format_filetime(found.written) : std::string();
}

// One line of what a finding is, for timelines: rule, key, description and server.
std::string finding_message(const RuleReport &report, const FoundClass &found) {
    std::string message = std::string(rule_name(report.rule)) + " rule: " + found.key + " \"" +
                          found.description + "\"";
    if (std::optional<ClassServer> server = finding_server(found))
        message += " server " + server->value.text;
    return message;
}

// What loads a finding's class, one reference a part: "kind side place value", joined by "; ".
std::string loaded_by_text(const FoundClass &found) {
    std::string text;
    for (const ClassLoader &loader : found.loaded_by)
        text += (text.empty() ? "" : "; ") + std::string(loader_kind_name(loader.kind)) +
                (loader.user ? " user " : " machine ") + loader.place + " " + loader.value;
    return text;
}

// A file's other-case twins, one a part: "path state [sha256]", joined by "; ".
std::string case_variants_text(const ServerFile &file) {
    std::string text;
    for (const ServerFile &twin : file.case_variants)
        text += (text.empty() ? "" : "; ") + twin.path + " " + state_name(twin.state) +
                (twin.state == FileState::Present ? " " + twin.sha256 : std::string());
    return text;
}

std::string csv_row(const ClassesSides &sides, const RuleReport &report, const FoundClass &found,
                    const ReportScope &scope, const std::string &id) {
    std::optional<ClassServer> server = finding_server(found);
    const ServerFile *file = found.server_file ? &found.server_file->file : nullptr;
    bool present = file && file->state == FileState::Present;
    std::vector<std::string> fields = {
        written_text(found),
        found.deleted   ? "Deleted registry key last written"
        : found.written ? "Registry key last written"
                        : "No time (a .reg export keeps none)",
        finding_message(report, found),
        scope.machine,
        scope.user ? *scope.user : std::string(),
        found.class_key ? side_name_of(sides, *found.class_key) : "machine",
        std::to_string(view_bits(report.view)),
        rule_name(report.rule),
        found.key,
        found.description,
        server ? server->value.text : std::string(),
        file ? file->path : std::string(),
        file ? state_name(file->state) : "",
        present ? file->sha256 : std::string(),
        file ? location_name(file->location) : "",
        found.type_lib,
        report.rule == ScanRule::Name ? json_number(found.score) : std::string(),
        found.subkey,
        report.rule == ScanRule::Shadow ? found.server_path : std::string(),
        found.machine_server,
        severity_name(found.severity),
        joined_reasons(found),
        loaded_by_text(found),
        found.deleted ? "true" : "false",
        file ? case_variants_text(*file) : std::string(),
        id,
    };
    std::string row;
    for (std::size_t i = 0; i < fields.size(); i++)
        row += (i ? "," : "") + csv_field(fields[i]);
    return row + "\r\n";
}

// A body file name cannot hold the separator or a line end.
std::string bodyfile_name(std::string_view text) {
    std::string out;
    for (char c : printable_text(utf8_text(text)))
        out += c == '|' ? std::string("\\x7c") : std::string(1, c);
    return out;
}

std::string bodyfile_line(const RuleReport &report, const FoundClass &found,
                          const ReportScope &scope, const std::string &id) {
    std::string where = scope.machine.empty()
                            ? std::string()
                            : scope.machine + (scope.user ? ", user " + *scope.user : "") + ": ";
    std::string name = where + "HKEY_CLASSES_ROOT\\CLSID\\" + found.key + " [" +
                       rule_name(report.rule) + " rule, " + std::to_string(view_bits(report.view)) +
                       "-bit" + (found.deleted ? ", deleted" : "") + "] \"" + found.description +
                       "\"";
    if (std::optional<ClassServer> server = finding_server(found))
        name += " server " + server->value.text;
    if (!id.empty())
        name += " id " + id;
    // Seconds since 1970; a time before it (or none) is 0, which timelines leave out, and one past
    // the year 9999 is its last second, as the JSON and CSV write it.
    constexpr unsigned long long unix_epoch = 116444736000000000ULL;
    constexpr unsigned long long last_second = 253402300799ULL; // 9999-12-31T23:59:59Z
    unsigned long long seconds = std::min(
        found.written > unix_epoch ? (found.written - unix_epoch) / 10000000 : 0, last_second);
    return "0|" + bodyfile_name(name) + "|0|0|0|0|0|0|" + std::to_string(seconds) + "|0|0\n";
}

// The facts of a finding that the programs' lines do not hold, as indented lines.
std::string finding_details(const FoundClass &found, const std::string &id) {
    std::string out = "    written  " + (found.written ? written_text(found) : "(not known)") +
                      (found.deleted ? " (deleted key, last written; carved from the " +
                                           found.carved_from + " image)"
                                     : "") +
                      "\n";
    if (!id.empty())
        out += "    id       " + id + "\n";
    out += "    severity " + std::string(severity_name(found.severity)) +
           (found.reasons.empty() ? "" : " (" + joined_reasons(found) + ")") + "\n";
    for (const ClassLoader &loader : found.loaded_by)
        out += "    loaded   " + std::string(loader_kind_name(loader.kind)) +
               (loader.user ? " (user) " : " (machine) ") + printable_text(loader.place) + "  " +
               printable_text(loader.value) + "\n";
    if (!found.server_file)
        return out;
    auto file_line = [&out](const char *label, const ServerFile &file) {
        out += label + printable_text(file.windows_path) + "  " + state_name(file.state);
        if (file.state == FileState::Present)
            out += "  " + std::to_string(file.size) + " bytes  sha256 " + file.sha256 +
                   "  modified " + file.modified;
        out += "  location " + std::string(location_name(file.location));
        if (file.pe)
            out += std::string("  pe ") + machine_name(file.pe->machine) +
                   (file.pe->dll ? " dll" : " exe");
        if (!file.problem.empty())
            out += "  (" + printable_text(file.problem) + ")";
        out += "\n";
    };
    // Each other-case twin by its path in the ROOT: they share the file's Windows path.
    auto twin_lines = [&out](const ServerFile &file) {
        for (const ServerFile &twin : file.case_variants) {
            out += "    twin     " + printable_text(twin.path) + "  " + state_name(twin.state);
            if (twin.state == FileState::Present)
                out += "  " + std::to_string(twin.size) + " bytes  sha256 " + twin.sha256;
            out += "  location " + std::string(location_name(twin.location)) + "\n";
        }
    };
    const ServerExamination &examined = *found.server_file;
    file_line("    file     ", examined.file);
    twin_lines(examined.file);
    if (examined.passed_over) {
        file_line("    also     ", *examined.passed_over);
        twin_lines(*examined.passed_over);
    }
    if (!examined.unexpanded_variable.empty()) {
        out += "    variable %" + printable_text(examined.unexpanded_variable) +
               "% left unexpanded (REG_SZ)\n";
        if (examined.if_expanded)
            file_line("    expanded ", *examined.if_expanded);
    }
    return out;
}

std::string scope_text(const ReportScope &scope) {
    if (scope.machine.empty())
        return std::string();
    return scope.machine + (scope.user ? ", user " + *scope.user : ", machine");
}

std::string scope_json(const ReportScope &scope) {
    if (scope.machine.empty())
        return std::string();
    return json_name_field("machine", scope.machine) + "," +
           (scope.user ? json_name_field("user", *scope.user) : "\"user\":null");
}

} // namespace

namespace {

// A number as clsid-scan writes one (a view, a score): a spreadsheet reads it as a number and
// never as a formula, so it keeps its leading minus.
bool is_plain_number(std::string_view text) {
    std::size_t at = text.size() > 1 && text[0] == '-' ? 1 : 0;
    bool digits = false, exponent = false, point = false;
    for (; at < text.size(); at++) {
        char c = text[at];
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if (c == '.' && !point && !exponent && digits) {
            point = true;
        } else if ((c == 'e' || c == 'E') && digits && !exponent) {
            exponent = true;
            digits = false;
            if (at + 1 < text.size() && (text[at + 1] == '-' || text[at + 1] == '+'))
                at++;
        } else {
            return false;
        }
    }
    return digits;
}

// Whether a spreadsheet would run the cell as a formula (or, after a tab or a CR it drops, as
// one): those cells get a leading ' so that they open as the text they are.
bool runs_as_formula(std::string_view text) {
    return !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos &&
           !is_plain_number(text);
}

} // namespace

std::string csv_field(std::string_view text) {
    std::string utf8 = utf8_text(text);
    if (runs_as_formula(utf8))
        utf8.insert(0, 1, '\'');
    if (utf8.find_first_of(",\"\r\n") == std::string::npos)
        return utf8;
    std::string out = "\"";
    for (char c : utf8)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

const char CSV_HEADER[] =
    "datetime,timestamp_desc,message,machine,user,side,view,rule,key,description,server,"
    "file_path,file_state,sha256,location,typelib,score,subkey,user_server,machine_server,severity,"
    "reasons,loaded_by,deleted,case_variants,id\r\n";

std::string render_reports(const ClassesSides &sides, const std::vector<RuleReport> &reports,
                           const ScanSettings &settings, const ReportScope &scope, bool headers) {
    std::string out;
    std::string json_extra = scope_json(scope);
    const Environment defaults = scope.environment ? Environment() : machine_environment();
    const Environment &environment = scope.environment ? *scope.environment : defaults;
    for (const RuleReport &report : reports) {
        if (settings.format != ReportFormat::Text) {
            for (const FoundClass &one : report.found) {
                std::string id = finding_id(sides, report, one, environment);
                std::string id_field = id.empty() ? "\"id\":null" : "\"id\":\"" + id + "\"";
                if (settings.format == ReportFormat::Json) {
                    std::string line =
                        json_found_class(sides, report, one,
                                         json_extra + (json_extra.empty() ? "" : ",") + id_field);
                    if (line.size() > LONGEST_FINDING_LINE)
                        print_note("the JSON line of " + printable_text(one.key) + " is longer " +
                                   "than --stack and --baseline read (4 GiB)");
                    out += line;
                    out += '\n';
                    continue;
                }
                out += settings.format == ReportFormat::Csv ? csv_row(sides, report, one, scope, id)
                                                            : bodyfile_line(report, one, scope, id);
            }
            continue;
        }
        if (headers)
            out += report_header(scope_text(scope), report);
        if (!settings.details) {
            out += report_text(report, settings.sources.code_page, settings.raw_ansi);
            continue;
        }
        for (const FoundClass &one : report.found) {
            RuleReport entry{report.view, report.rule, one.entry, {}, false, {}};
            std::string entry_text =
                report_text(entry, settings.sources.code_page, settings.raw_ansi);
            std::string details = finding_details(one, finding_id(sides, report, one, environment));
            std::u16string wide;
            if (settings.raw_ansi && utf8_to_utf16(details, wide))
                details = utf16_to_code_page(settings.sources.code_page, wide);
            // The details go before the empty line that ends a bare or shadow entry.
            bool blank_end =
                entry_text.size() >= 2 && entry_text.compare(entry_text.size() - 2, 2, "\n\n") == 0;
            out += blank_end ? entry_text.substr(0, entry_text.size() - 1) + details + "\n"
                             : entry_text + details;
        }
    }
    return out;
}
