// The server file of each finding, resolved and examined as Windows would find it for its view.
#pragma once

#include "classes/classes_merge.h"
#include "files/server_file.h"
#include "rules/class_scan.h"
#include "rules/hijack_rules.h"

#include <optional>
#include <string>
#include <vector>

// What a finding's class names as its server: its InprocServer32 default string, else its
// LocalServer32 command line (for the shadow rule, the user's registration of the class; for the
// treatas rule, the class that finally serves).
std::optional<ClassServer> finding_server(const FoundClass &found);

// Resolves and examines the server of every finding of `reports` inside `volume`, with the
// environment of the machine or user the reports are for, each for the process it loads into
// (server_process_view).
void examine_findings(std::vector<RuleReport> &reports, VolumeFiles &volume,
                      const Environment &environment);

// The one note for a ROOT that holds none of the volume's program files (a triage collection of
// hives): its servers' files are `not-collected`, the abandoned rule lists nothing there, and no
// severity comes from a missing file. Empty for a full image.
std::string triage_note(VolumeFiles &volume, const std::string &root);

// The lines for standard error about the server files the rules could not read, each once, in
// the order found: "<where>: server file <windows path>: <problem> (...)". Non-empty means the
// scan ends with exit code 2.
std::vector<std::string> unreadable_notes(const std::vector<const std::vector<RuleReport> *> &scans,
                                          const std::string &where);

// The lines for standard error about what was cut short, each once: a server value whose
// expansion reached Windows' cap, a command line with more candidates than are tried, and (for
// `environment`) a Path with more folders than are searched. They change no exit code.
std::vector<std::string> cut_notes(const std::vector<const std::vector<RuleReport> *> &scans,
                                   const Environment &environment, const std::string &where);

// What every scan does with its reports once the rules have run: examines the server files when
// there is a volume, gives each finding its severity and reasons, and leaves out (from the found
// classes and from the text) the findings below `min_severity`.
void finish_findings(std::vector<RuleReport> &reports, VolumeFiles *volume,
                     const Environment &environment, Severity min_severity);
