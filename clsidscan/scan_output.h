// The two renderings of clsid-scan's findings: the programs' text report and JSON Lines.
#pragma once

#include "classes/classes_merge.h"
#include "classes/deleted_classes.h"
#include "evidence/scan_sources.h"
#include "rules/class_scan.h"
#include "rules/hijack_rules.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A report's text in UTF-8 (from the ANSI code page), or as the raw ANSI bytes.
std::string report_text(const RuleReport &report, unsigned code_page, bool raw_ansi);

// The header line that names a report when several are printed, e.g. "# bare rule, 64-bit view";
// `scope` (such as "ROOT, user alice"), when not empty, comes first.
std::string report_header(const std::string &scope, const RuleReport &report);

// A JSON string literal of UTF-8 text: quotes, backslashes and control characters escaped, and
// each byte that is not part of well-formed UTF-8 written as U+FFFD.
std::string json_string(std::string_view utf8);

// `"field":"name"` for a name from the file system (a ROOT, a user, a source file), whose bytes
// need not be UTF-8. When they are not, `"field_hex":"…"` follows with the name's bytes in
// lowercase hex, so that the name can still be told apart and found.
std::string json_name_field(const char *field, std::string_view name);

// Text that did not come from the registry (paths, folder names, messages), made safe to print:
// control characters (C0, DEL, C1) and bytes that are not UTF-8 become \xNN, and a backslash
// that would read as such an escape becomes \x5c, so a name can neither forge a line of the
// report nor send sequences to the terminal.
std::string printable_text(std::string_view text);

// Writes "clsid-scan: NOTE" to standard error as one line, made printable.
void print_note(std::string_view note);

// The JSON object of a server file as examined: path inside the ROOT, state, size, sha256,
// modification time, PE machine and kind, location, and the Windows path it was found for.
std::string json_server_file(const ServerFile &file);

// One JSON object, without a line end, for one found class: sources, side, view, rule, key,
// description, and the rule's own fields. `extra` (already rendered "name":value pairs joined by
// commas, or empty) goes first, for callers that name a machine or a user.
std::string json_found_class(const ClassesSides &sides, const RuleReport &report,
                             const FoundClass &found, const std::string &extra);

// A field of an RFC 4180 CSV row: UTF-8 whatever the bytes (U+FFFD for the others), after a
// leading ' when a spreadsheet would run it as a formula (it starts with =, +, -, @, a tab or a
// CR, and is not a plain number), quoted when it holds a comma, a quote or a line end.
std::string csv_field(std::string_view text);

// The renderings: the programs' text, JSON Lines, CSV for timelines and spreadsheets, and the
// body file that timeline tools merge with a disk's.
enum class ReportFormat { Text, Json, Csv, Bodyfile };

// The header row of the CSV rendering, printed once before every row.
extern const char CSV_HEADER[];

struct FindingFilter; // clsidscan/finding_filter.h

// What to scan and how to print it.
struct ScanSettings {
    std::vector<ScanRule> rules = {ScanRule::Bare,      ScanRule::Name,      ScanRule::Shadow,
                                   ScanRule::Scriptlet, ScanRule::TreatAs,   ScanRule::Abandoned,
                                   ScanRule::UserPath,  ScanRule::Handler,   ScanRule::Known,
                                   ScanRule::Stock,     ScanRule::UserClass, ScanRule::Deleted};
    std::vector<Bitness> views = {Bitness::Bits64, Bitness::Bits32};
    ReportFormat format = ReportFormat::Text;
    bool details = false;
    Severity min_severity = Severity::Low; // findings below it are not printed  // the text report
                                           // gets each finding's time and file after it
    std::string image; // the mounted volume the server files of plain sources are looked in
    std::uint64_t hash_limit = kDefaultHashLimit; // server files larger are not hashed
    bool raw_ansi = false;                        // text in the ANSI code page rather than UTF-8
    SourceOptions sources;
    // Findings known from baselines or allowed by the analyst, left out of the output.
    FindingFilter *filter = nullptr;
};

// The merged view of some sources and the reports of every rule in every view over it; the
// found classes point into the view.
struct ViewScan {
    MemoryRegistry view;
    std::vector<RuleReport> reports;
    // The sides with carved class keys put back, and their merged views, which the reports
    // flagged deleted (after the live ones) point into.
    std::vector<RecoveredSides> recovered;
    std::vector<MemoryRegistry> recovered_views;
};

// Where the rules look for what the registry names: the volume (null when there is none) and the
// environment of the machine or user whose view it is.
struct ScanPlace {
    VolumeFiles *volume = nullptr;
    const Environment *environment = nullptr;
    // What in the same evidence loads classes, for `loaded_by` and the userclass rule.
    const ClassLoaderIndex *loaders = nullptr;
};

// Merges `sides` and runs the rules of `settings` over it; then the same over each copy of the
// sides with their carved class keys put back, keeping only those classes' findings, in reports
// flagged deleted after the live ones. Returns false when a report could not be built for lack
// of memory.
bool scan_view(const ClassesSides &sides, const ScanSettings &settings, ViewScan &scan,
               const ScanPlace &place);

// Whose reports these are: under --system the ROOT, and the user for a user's merged view
// (none for the machine's); empty for plain sources.
struct ReportScope {
    std::string machine;
    std::optional<std::string> user;
    // The variables the findings' servers are resolved with, for their ids; Windows' defaults
    // for the machine when null.
    const Environment *environment = nullptr;
};

// The output for some reports in the format of `settings`: text reports, each preceded by its
// header when `headers` is set (naming the scope), or one JSON object, CSV row or body file line
// per finding.
std::string render_reports(const ClassesSides &sides, const std::vector<RuleReport> &reports,
                           const ScanSettings &settings, const ReportScope &scope, bool headers);
