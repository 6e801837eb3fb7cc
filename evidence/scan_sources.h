// Reading clsid-scan's sources (hives, with their transaction logs, and .reg exports) into the
// two sides of the classes.
#pragma once

#include "classes/classes_merge.h"
#include "evidence/hive_source.h"
#include "evidence/source_file.h"

#include <string>
#include <vector>

struct SourceOptions {
    unsigned code_page = 932;           // of 8-bit .reg text
    bool use_logs = true;               // replay a dirty hive's logs
    std::vector<std::string> log_files; // logs given by hand, for every hive source
};

// The transaction logs that lie beside a hive: the same name plus .LOG, .LOG1 or .LOG2, in any
// letter case.
std::vector<std::string> logs_beside(const std::string &hive_path);

// Reads the hive at `path` and, when it is dirty and logs are to be used, replays its logs (those
// given in `options`, else those beside it) into `image`. `state` is set to "clean", "recovered"
// or "not recovered", and `note` to one line for standard error that says so.
bool load_hive_image(const std::string &path, const SourceOptions &options, SourceFile &image,
                     std::string &state, std::string &note, std::string &error);
// The same for a hive already read into `image`.
bool recover_hive_image(const std::string &path, const SourceOptions &options, SourceFile &image,
                        std::string &state, std::string &note, std::string &error);

// A hive's classes as read, with what its logs did.
struct LoadedHive {
    HiveClasses classes;
    std::string state; // "clean", "recovered" or "not recovered"
    std::string note;  // what its logs did, as told on standard error
};

// Reads the classes of the hive in `image` (read from `path`), replaying its logs as
// recover_hive_image does. The logs' note and the reader's warnings go to `notes`.
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
