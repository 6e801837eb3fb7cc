// The server file of each finding, resolved and examined as Windows would find it for its view.
#include "clsidscan/finding_files.h"

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
