// The server file of each finding, resolved and examined as Windows would find it for its view.
#include "clsidscan/finding_files.h"

#include "clsidscan/scan_output.h"
#include "registry/code_page.h"
#include "rules/hijack_rules.h"
#include "rules/severity.h"

#include <algorithm>

std::optional<ClassServer> finding_server(const FoundClass &found) {
    return judged_server(found);
}

void examine_findings(std::vector<RuleReport> &reports, VolumeFiles &volume,
                      const Environment &environment) {
    for (RuleReport &report : reports)
        for (FoundClass &found : report.found) {
            std::optional<ClassServer> server = finding_server(found);
            if (!server || found.server_file)
                continue;
            found.server_file =
                examine_server(volume, server->value.text, value_type(server->value), server->kind,
                               server_process_view(server->kind, report.view), environment);
        }
}

std::string triage_note(VolumeFiles &volume, const std::string &root) {
    if (volume.holds_program_files())
        return std::string();
    return root + ": holds none of the volume's program files (its System32 has no DLL), as a "
                  "triage collection of hives: server files not in it are not-collected, the "
                  "abandoned rule lists nothing, and no severity comes from a missing file";
}

std::vector<std::string> unreadable_notes(const std::vector<const std::vector<RuleReport> *> &scans,
                                          const std::string &where) {
    std::vector<std::string> notes;
    for (const std::vector<RuleReport> *reports : scans)
        for (const RuleReport &report : *reports)
            for (const std::string &line : report.unreadable) {
                std::string note = (where.empty() ? std::string() : where + ": ") + "server file " +
                                   line +
                                   " (cannot tell whether it is there; the rules that need it "
                                   "could not judge it)";
                if (std::find(notes.begin(), notes.end(), note) == notes.end())
                    notes.push_back(std::move(note));
            }
    return notes;
}

std::vector<std::string> cut_notes(const std::vector<const std::vector<RuleReport> *> &scans,
                                   const Environment &environment, const std::string &where) {
    std::string prefix = where.empty() ? std::string() : where + ": ";
    std::vector<std::string> notes;
    if (environment.search_path_cut())
        notes.push_back(prefix + "Path names more than " + std::to_string(kMaxPathFolders) +
                        " folders; bare server names are searched in the first " +
                        std::to_string(kMaxPathFolders) + " only");
    auto note_once = [&notes](std::string note) {
        if (std::find(notes.begin(), notes.end(), note) == notes.end())
            notes.push_back(std::move(note));
    };
    for (const std::vector<RuleReport> *reports : scans)
        for (const RuleReport &report : *reports)
            for (const FoundClass &found : report.found) {
                if (!found.server_file)
                    continue;
                std::string key = prefix + "class " + printable_text(found.key) + ": ";
                if (found.server_file->notes.expansion_cut)
                    note_once(key + "its server value expands past " +
                              std::to_string(kMaxExpandedLength) +
                              " characters and is cut there, as Windows cuts it");
                if (found.server_file->notes.candidates_cut)
                    note_once(key + "its server command line has more than " +
                              std::to_string(kMaxCommandLineCandidates) +
                              " places to split at; the later ones are not tried");
            }
    return notes;
}

void finish_findings(std::vector<RuleReport> &reports, VolumeFiles *volume,
                     const Environment &environment, Severity min_severity) {
    if (volume)
        examine_findings(reports, *volume, environment);
    ViewEnvironments environments = view_environments(environment);
    for (RuleReport &report : reports) {
        for (FoundClass &found : report.found) {
            add_clr_facts(found);
            assess_finding(report, found, environments);
        }
        if (min_severity == Severity::Low)
            continue;
        auto below = [&](const FoundClass &found) { return found.severity < min_severity; };
        report.found.erase(std::remove_if(report.found.begin(), report.found.end(), below),
                           report.found.end());
        report.text.clear();
        for (const FoundClass &found : report.found)
            report.text += found.entry;
    }
}
