// The server file of each finding, resolved and examined as Windows would find it for its view.
#pragma once

#include "classes/classes_merge.h"
#include "files/server_file.h"
#include "rules/class_scan.h"

#include <optional>
#include <string>
#include <vector>

// What a finding's class names as its server: its InprocServer32 default string, else its
// LocalServer32 command line (for the shadow rule, the user's registration of the class).
struct ServerValue {
    std::string text; // UTF-8, up to the first NUL
    ValueType type;
    ServerKind kind;
};
std::optional<ServerValue> finding_server(const FoundClass &found);

// The view a rule's report was made for, as the file calls see it.
ServerView server_view(ScanView view);

// Resolves and examines the server of every finding of `reports` inside `volume`, with the
// environment of the machine or user the reports are for. Local servers start in a 64-bit
// service on 64-bit Windows, so a command line is resolved for the 64-bit view in either view.
void examine_findings(std::vector<RuleReport> &reports, VolumeFiles &volume,
                      const Environment &environment);

// What every scan does with its reports once the rules have run: examines the server files when
// there is a volume, gives each finding its severity and reasons, and leaves out (from the found
// classes and from the text) the findings below `min_severity`.
void finish_findings(std::vector<RuleReport> &reports, VolumeFiles *volume,
                     const Environment &environment, Severity min_severity);
