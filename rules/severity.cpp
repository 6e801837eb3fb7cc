// How much each finding matters, and the fixed reasons that say why.
#include "rules/severity.h"

#include "rules/hijack_rules.h"

#include <algorithm>

namespace {

void add(FoundClass &found, Severity at_least, const char *reason) {
    found.severity = std::max(found.severity, at_least);
    if (std::find(found.reasons.begin(), found.reasons.end(), reason) == found.reasons.end())
        found.reasons.push_back(reason);
}

bool has_reason(const FoundClass &found, const char *reason) {
    return std::find(found.reasons.begin(), found.reasons.end(), reason) != found.reasons.end();
}

// Where the finding's server lies: the file as examined, else the first place Windows looks.
std::optional<FileLocation> server_location(const RuleReport &report, const FoundClass &found,
                                            const ViewEnvironments &environments) {
    if (found.server_file && !found.server_file->file.windows_path.empty())
        return found.server_file->file.location;
    std::optional<ClassServer> server =
        class_server(found.server_class ? found.server_class : found.class_key);
    if (!server)
        return std::nullopt;
    std::vector<std::string> place = first_place(*server, report.view, environments);
    if (place.empty())
        return std::nullopt;
    return classify_location(place, environments.locations);
}

} // namespace

const char *severity_name(Severity severity) {
    return severity == Severity::High ? "high" : severity == Severity::Medium ? "medium" : "low";
}

bool parse_severity(const std::string &text, Severity &severity) {
    for (Severity level : {Severity::Low, Severity::Medium, Severity::High})
        if (text == severity_name(level)) {
            severity = level;
            return true;
        }
    return false;
}

void assess_finding(const RuleReport &report, FoundClass &found, const Environment &environment) {
    assess_finding(report, found, view_environments(environment));
}

void assess_finding(const RuleReport &report, FoundClass &found,
                    const ViewEnvironments &environments) {
    // What the rule itself says; the hijack rules have set their own reasons already.
    found.severity = Severity::Low;
    std::vector<std::string> own = std::move(found.reasons);
    found.reasons.clear();
    switch (report.rule) {
    case ScanRule::Bare:
        add(found, Severity::Medium, "bare registration");
        break;
    case ScanRule::Name:
        add(found, Severity::Low, "made-up description");
        break;
    case ScanRule::Shadow:
        add(found, Severity::Medium,
            found.subkey == "TreatAs" ? "user adds treatas"
                                      : "user-side server differs from machine");
        break;
    case ScanRule::Scriptlet:
        if (found.from_user)
            add(found, Severity::High, "user-side scriptlet");
        else if (!found.script.empty())
            add(found, Severity::Medium, "scriptlet url");
        else if (server_location(report, found, environments) == FileLocation::System)
            add(found, Severity::Low, "system scriptlet class");
        else
            add(found, Severity::Medium, "scriptlet server outside system folder");
        break;
    case ScanRule::TreatAs:
        for (const std::string &reason : own)
            add(found,
                reason == "treatas introduced by user" ||
                        reason == "treatas ends at user-writable server"
                    ? Severity::High
                    : Severity::Medium,
                reason.c_str());
        break;
    case ScanRule::Abandoned:
        add(found, Severity::Medium, "server file missing");
        break;
    case ScanRule::UserPath:
        add(found, Severity::Medium, "machine server in user-writable location");
        break;
    case ScanRule::Handler:
        add(found, found.from_user ? Severity::High : Severity::Medium, "handler not the system's");
        break;
    case ScanRule::Known:
        add(found, Severity::High, "known target hijacked");
        break;
    case ScanRule::Deleted:
        add(found, Severity::Medium,
            found.from_user ? "deleted from user classes" : "deleted from machine classes");
        break;
    }

    // What the server file adds, whichever rule found the class.
    if (report.rule != ScanRule::UserPath && report.rule != ScanRule::TreatAs &&
        server_location(report, found, environments) == FileLocation::User)
        add(found, report.rule == ScanRule::Name ? Severity::Medium : Severity::High,
            "server in user-writable location");
    if (!found.server_file)
        return;
    const ServerFile &file = found.server_file->file;
    if (file.state == FileState::Missing && !has_reason(found, "server file missing"))
        add(found, found.severity, "server file missing");
    if (found.server_file->passed_over)
        add(found, Severity::High, "unquoted path runs another program");
    std::optional<ClassServer> server =
        class_server(found.server_class ? found.server_class : found.class_key);
    if (file.pe && server && server->kind == ServerKind::InProcess &&
        !machine_fits_view(file.pe->machine, report.view == ScanView::Bits32 ? ServerView::Bits32
                                                                             : ServerView::Bits64))
        add(found, Severity::Medium, "server machine does not fit view");
}
