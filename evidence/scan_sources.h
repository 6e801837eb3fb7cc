// Reading clsid-scan's sources (hives, with their transaction logs, and .reg exports) into the
// two sides of the classes.
//
// Every function here that reads a file returns false with `error`, one line naming the file, when
// memory runs short while reading it (std::bad_alloc does not get out).
#pragma once

#include "classes/classes_merge.h"
#include "evidence/source_file.h"
#include "hive/hive_source.h"

#include <string>
#include <vector>

struct SourceOptions {
    unsigned code_page = 932;  // of 8-bit .reg text
    bool use_logs = true;      // replay a dirty hive's logs
    bool carve_deleted = true; // recover deleted class keys from a hive's free space
    // The hive's logs given by hand (--log), used instead of those beside it. The logs given for
    // a whole run are sorted out among its sources by match_logs_to_sources.
    std::vector<std::string> log_files;
};

// Sorts the logs of `options.log_files` out among `sources`: `each` gets one SourceOptions per
// source, whose log_files are the logs that belong to it (log_belongs_to_hive: a log carries a
// copy of its hive's base block). A source without any keeps using the logs beside it. Fails,
// with `error` naming the log, when a log cannot be read, belongs to none of the hive sources, or
// cannot be told apart between several (alike base blocks, or a damaged one with more than one
// hive given). With --no-logs the logs are not looked at.
bool match_logs_to_sources(const std::vector<std::string> &sources, const SourceOptions &options,
                           std::vector<SourceOptions> &each, std::string &error);

// The transaction logs that lie beside a hive: the same name plus .LOG, .LOG1 or .LOG2, in any
// letter case.
std::vector<std::string> logs_beside(const std::string &hive_path);

// What a hive's logs did.
struct HiveLogsOutcome {
    std::string state;   // "clean", "recovered" or "not recovered"
    std::string note;    // one line for standard error, naming the file
    std::string summary; // the same without the file name, to go into an error about the hive
};

// Reads the hive at `path` and, when it is dirty and logs are to be used, replays its logs (those
// given in `options`, else those beside it) into `image`.
bool load_hive_image(const std::string &path, const SourceOptions &options, SourceFile &image,
                     HiveLogsOutcome &outcome, std::string &error);
// The same for a hive already read into `image`. Its base block is checked first: `image` must
// start with "regf", and is cut to what the hive takes of the file (hive_extent). It is copied
// only when a log replay changes it; `image.bytes()` is then the recovered hive.
bool recover_hive_image(const std::string &path, const SourceOptions &options, SourceFile &image,
                        HiveLogsOutcome &outcome, std::string &error);

// A hive's classes as read, with what its logs did.
struct LoadedHive {
    HiveClasses classes;
    std::string state; // "clean", "recovered" or "not recovered"
    std::string note;  // what its logs did, as told on standard error
    // Class keys carved from its free space (primary file and, when recovered, the replayed
    // image); their side and source are set when the hive is added.
    std::vector<DeletedRegistration> deleted;
};

// Reads the classes of the hive in `image` (read from `path`), replaying its logs as
// recover_hive_image does. When the hive is read, the logs' note and the reader's warnings go to
// `notes`; when it is not, `error` is the one line to tell, with what the logs did.
bool read_hive_source(const std::string &path, const SourceOptions &options, SourceFile &image,
                      LoadedHive &hive, std::vector<std::string> &notes, std::string &error);
// Adds a hive so read to its side of `sides`, with its state. The hive's tree is shared, not
// copied: one hive may be added to several scans, as the first source of its side in each.
bool add_hive_source(ClassesSides &sides, const std::string &path, const LoadedHive &hive,
                     std::string &error);

// Adds the classes of one source, recognised by its content, to `sides`. Warnings and notes for
// standard error go to `notes`; on failure `error` is one line naming the file.
bool load_source(ClassesSides &sides, const std::string &path, const SourceOptions &options,
                 std::vector<std::string> &notes, std::string &error);
