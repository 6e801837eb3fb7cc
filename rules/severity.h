// How much each finding matters, and the fixed reasons that say why.
#pragma once

#include "files/server_path.h"
#include "rules/class_scan.h"

#include <string>

const char *severity_name(Severity severity); // "low", "medium", "high"
// "low", "medium" or "high"; false for anything else.
bool parse_severity(const std::string &text, Severity &severity);

// Sets the severity and reasons of a finding of `report` from its rule, whose side supplied it,
// and where its server lies: the examined file when there is one, else the path Windows would
// first try, expanded in `environment`.
void assess_finding(const RuleReport &report, FoundClass &found, const Environment &environment);
// The same with the environment prepared once (view_environments), for many findings.
struct ViewEnvironments;
void assess_finding(const RuleReport &report, FoundClass &found,
                    const ViewEnvironments &environments);

// The fixed reason the userclass rule gives for a user-only class that `kind` loads, and for one
// that nothing in the evidence loads.
const char *user_class_reason(LoaderKind kind);
extern const char USER_CLASS_NOT_LOADED[];
