// clsid-scan --system: whole Windows volumes or collection folders, the machine and every user.
#pragma once

#include "clsidscan/scan_output.h"
#include "evidence/system_folder.h"

#include <string>
#include <vector>

// What scanning one ROOT gave: its output, its lines for standard error, and how it ended.
struct RootScan {
    std::string out;
    std::vector<std::string> notes;
    bool found = false;
    bool failed = false;
};

// Scans the machine view alone and each user's merged view. A finding that is identical in the
// machine view and in every user's view is reported once, for the machine.
RootScan scan_system_root(const std::string &root, const ScanSettings &settings);

// The environment plain sources are resolved in with --image ROOT: the image's machine variables
// as --system reads them, and, when a user's hive given is one of the image's profiles' (or is an
// NTUSER.DAT), that user's profile folder and variables, so that --image and --system resolve a
// user's server alike. Lines for standard error go to `notes`.
Environment image_environment(const std::string &root, const VolumeFiles &volume,
                              const std::vector<std::string> &sources,
                              std::vector<std::string> &notes);

// Scans every ROOT, `jobs` at a time (0: as many as there are cores), and prints their outputs in
// ROOT order, whichever finishes first. Returns the exit code: 2 when any ROOT failed, else 1 when
// anything was found, else 0.
int run_system_scan(const std::vector<std::string> &roots, const ScanSettings &settings,
                    unsigned jobs);
