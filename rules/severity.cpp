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
    std::optional<ClassServer> server = judged_server(found);
    if (!server)
        return std::nullopt;
    std::vector<std::string> place = first_place(*server, report.view, environments);
    if (place.empty())
        return std::nullopt;
    return classify_location(place, environments.locations);
}

// What a user-only class with its server where the user can write means, by what loads it.
// High: references that ordinary software makes on the machine side only, where a per-user class
// has no business being. Medium: shell extensions, which per-user installers register.
struct UserClassLevel {
    LoaderKind kind;
    const char *reason;
    Severity severity;
};
const UserClassLevel USER_CLASS_LEVELS[] = {
    {LoaderKind::Profiler, "user-only class is profiler", Severity::High},
    {LoaderKind::AmsiProvider, "user-only class is amsi provider", Severity::High},
    {LoaderKind::CredentialProvider, "user-only class is credential provider", Severity::High},
    {LoaderKind::DelayLoad, "user-only class is delay-load shell service", Severity::High},
    {LoaderKind::ScheduledTask, "user-only class is scheduled task handler", Severity::High},
    {LoaderKind::ShellExecuteHook, "user-only class is shell execute hook", Severity::High},
    {LoaderKind::BrowserHelper, "user-only class is browser helper object", Severity::Medium},
    {LoaderKind::IconOverlay, "user-only class is icon overlay handler", Severity::Medium},
    {LoaderKind::ShellHandler, "user-only class is shell extension handler", Severity::Medium},
    {LoaderKind::ApprovedExtension, "user-only class is approved shell extension",
     Severity::Medium},
};

} // namespace

const char USER_CLASS_NOT_LOADED[] = "user-only class nothing loads";

const char *user_class_reason(LoaderKind kind) {
    for (const UserClassLevel &level : USER_CLASS_LEVELS)
        if (level.kind == kind)
            return level.reason;
    return USER_CLASS_NOT_LOADED;
}

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
            found.subkey == "TreatAs"           ? "user adds treatas"
            : found.subkey == "InprocHandler32" ? "user-side handler differs from machine"
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
                : reason == "autotreatas alone" ? Severity::Low
                                                : Severity::Medium,
                reason.c_str());
        break;
    case ScanRule::Abandoned: {
        // As bad as the place the file would be planted in.
        std::optional<FileLocation> place = server_location(report, found, environments);
        if (found.server_file && found.server_file->file.state == FileState::Outside)
            add(found, Severity::Medium, "machine server on another drive or share");
        else
            add(found,
                place == FileLocation::UserWritable || place == FileLocation::UserCreatable
                    ? Severity::High
                : place == FileLocation::System || place == FileLocation::ProgramFiles
                    ? Severity::Low
                    : Severity::Medium,
                "server file missing");
        break;
    }
    case ScanRule::UserPath:
        add(found, Severity::Medium, "machine server in user-writable location");
        break;
    case ScanRule::Handler:
        for (const std::string &reason : own)
            add(found,
                reason == "user-side handler differs from machine" ? Severity::High
                                                                   : Severity::Medium,
                reason.c_str());
        break;
    case ScanRule::Known:
        add(found, Severity::High, "known target hijacked");
        break;
    case ScanRule::Stock:
        for (const std::string &reason : own)
            add(found,
                reason == "stock class re-pointed within system folder" ? Severity::Medium
                                                                        : Severity::High,
                reason.c_str());
        break;
    case ScanRule::UserClass:
        for (const std::string &reason : own) {
            Severity level = Severity::Low;
            for (const UserClassLevel &known : USER_CLASS_LEVELS)
                if (reason == known.reason)
                    level = known.severity;
            add(found, level, reason.c_str());
        }
        break;
    case ScanRule::Deleted:
        add(found, Severity::Medium,
            found.from_user ? "deleted from user classes" : "deleted from machine classes");
        break;
    }

    // What the server file adds, whichever rule found the class.
    // Under ProgramData a user can plant a missing file but not replace a present one.
    std::optional<FileLocation> location = server_location(report, found, environments);
    // A file a triage collection does not hold (not-collected) may well be there.
    bool missing = found.server_file && found.server_file->file.state == FileState::Missing;
    bool plantable = location == FileLocation::UserWritable ||
                     (location == FileLocation::UserCreatable && (missing || !found.server_file));
    if (report.rule != ScanRule::UserPath && report.rule != ScanRule::TreatAs &&
        report.rule != ScanRule::UserClass && plantable)
        add(found, report.rule == ScanRule::Name ? Severity::Medium : Severity::High,
            "server in user-writable location");
    if (!found.server_file)
        return;
    const ServerFile &file = found.server_file->file;
    if (file.state == FileState::Missing && !has_reason(found, "server file missing"))
        add(found, found.severity, "server file missing");
    if (found.server_file->passed_over)
        add(found, Severity::High, "unquoted path runs another program");
    // Which of several names that differ only in case Windows opens cannot be told: the worst
    // of them counts, so that a decoy never hides its twin.
    bool judged_by_place = report.rule != ScanRule::UserPath && report.rule != ScanRule::TreatAs &&
                           report.rule != ScanRule::UserClass;
    for (const ServerFile &twin : file.case_variants) {
        if (judged_by_place &&
            (twin.location == FileLocation::UserWritable ||
             (twin.location == FileLocation::UserCreatable && twin.state == FileState::Missing)))
            add(found, report.rule == ScanRule::Name ? Severity::Medium : Severity::High,
                "server in user-writable location");
        if (twin.state == FileState::Present &&
            (file.state != FileState::Present || twin.sha256 != file.sha256))
            add(found, Severity::Medium, "other-case twin of server differs");
    }
    if (found.server_file->notes.expansion_cut)
        add(found, Severity::Medium, "server value expands past 32767 characters");
    if (found.server_file->notes.candidates_cut)
        add(found, Severity::Medium, "server command line has too many candidates");
    // A REG_SZ naming %VAR%: whether Windows expands it is not documented, so the file it would
    // be if expanded is judged too, and the worse counts.
    if (!found.server_file->unexpanded_variable.empty()) {
        add(found, Severity::Low, "server names a variable that REG_SZ leaves unexpanded");
        const std::optional<ServerFile> &expanded = found.server_file->if_expanded;
        if (expanded && report.rule != ScanRule::UserPath && report.rule != ScanRule::TreatAs &&
            (expanded->location == FileLocation::UserWritable ||
             (expanded->location == FileLocation::UserCreatable &&
              expanded->state == FileState::Missing)))
            add(found, report.rule == ScanRule::Name ? Severity::Medium : Severity::High,
                "server in user-writable location");
    }
    if (found.server_file->relative)
        add(found, Severity::Medium, "relative server path");
    std::optional<ClassServer> server = judged_server(found);
    if (file.pe && server && server->kind == ServerKind::InProcess &&
        !served_from_code_base(found.server_class ? found.server_class : found.class_key) &&
        !machine_fits_view(file.pe->machine,
                           report.view == Bitness::Bits32 ? Bitness::Bits32 : Bitness::Bits64))
        add(found, Severity::Medium, "server machine does not fit view");
}
