// Findings left out of the output: those whose ids are in baselines (JSON Lines of earlier runs
// or of a known-good machine) and those an analyst's allowlist names.
#pragma once

#include "classes/classes_merge.h"
#include "clsidscan/finding_ids.h"
#include "files/server_path.h"
#include "rules/class_scan.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One entry of an allowlist. The file holds one a line: 16 hex digits are a finding's id, 64 hex
// digits the SHA-256 of its server file, and anything else a class key (the line's first word,
// letter case aside), alone or followed by a server pattern that must match the finding's id
// server (see id_server) whole, letter case aside, where * stands for any run of characters and
// ? for one. Blank lines and lines whose first character that is not a space is # are passed over.
struct AllowEntry {
    enum class Kind { Id, Sha256, Key };
    Kind kind = Kind::Key;
    std::uint64_t id = 0;
    std::string value;   // the SHA-256 (lowercase), or the class key (ASCII letters raised)
    std::string pattern; // for a key: the server pattern, lowered; empty for any server
    std::size_t line = 0;
};

// Reads an allowlist. False with `error` naming the file (and line) when it cannot be read, is
// larger than 16 MiB or is UTF-16 text.
bool read_allowlist(const std::string &path, std::vector<AllowEntry> &entries, std::string &error);

// Whether `text` matches `pattern` whole: * any run of characters, ? any one byte; both are
// compared as they are (callers lower them).
bool matches_pattern(std::string_view pattern, std::string_view text);

// What an allowlist entry compares of a finding.
struct FindingFacts {
    std::uint64_t id = 0;
    std::string_view key;
    std::string_view server; // id_server
    std::string_view sha256; // of the server file; empty when not examined or not present
};

bool allow_entry_matches(const AllowEntry &entry, const FindingFacts &finding);

// The allowlists' entries found by what they name, so that a finding is compared only with the
// entries that can match it, however many there are: ids, SHA-256s and class keys in hash tables;
// under each key, the patterns without wildcards in a hash table and the others by their first
// characters (up to PATTERN_PREFIX of them, before the first wildcard), looked up for each
// beginning of the server of that length. Patterns of one key that begin alike are tried in turn.
struct AllowIndex {
    static constexpr std::size_t PATTERN_PREFIX = 64;
    struct Place {
        std::size_t list, entry;
    };
    struct KeyEntries {
        std::vector<Place> any_server;
        std::unordered_map<std::string, std::vector<Place>> literal;
        std::unordered_map<std::string, std::vector<Place>> by_prefix;
        std::vector<std::size_t> prefix_lengths; // those by_prefix holds, increasing
    };
    std::unordered_map<std::uint64_t, std::vector<Place>, IdHash> ids;
    std::unordered_map<std::string, std::vector<Place>> sha256s;
    std::unordered_map<std::string, KeyEntries> keys; // by the key, ASCII letters raised
};

// The baselines and allowlists of one run, and what they took out. Shared by the --system
// workers: the tallies are atomic.
struct FindingFilter {
    std::vector<std::string> baseline_files;
    std::unordered_map<std::uint64_t, std::size_t, IdHash> baseline_ids; // id → first file with it
    struct Allowlist {
        std::string file;
        std::vector<AllowEntry> entries;
    };
    std::vector<Allowlist> allowlists;
    AllowIndex allow_index;

    std::vector<std::atomic<std::size_t>> known;         // findings left out, by baseline file
    std::vector<std::atomic<std::size_t>> allowed;       // findings left out, by allowlist
    std::vector<std::vector<std::atomic<bool>>> matched; // by allowlist, by entry
    std::atomic<std::uint64_t> entries_compared{0};      // entries a finding was compared with
};

// Whether an allowlist allows the finding (`has_id`: whether its id is known), marking each entry
// that matches it and counting it for the first allowlist that does.
bool allow_finding(FindingFilter &filter, const FindingFacts &finding, bool has_id);

// Reads each baseline's ids into `filter` (Linux build: clsidscan/baseline.cpp). False with
// `error` naming the file and line of the first line that is not clsid-scan JSON Lines.
bool read_baselines(const std::vector<std::string> &files, FindingFilter &filter,
                    std::string &error);

// Reads each allowlist into `filter`, and indexes their entries.
bool read_allowlists(const std::vector<std::string> &files, FindingFilter &filter,
                     std::string &error);

// Takes out of `reports` the findings the filter knows or allows (their ids computed with
// `environment`, as the output's are), rebuilding the text of the reports it changes.
void filter_findings(FindingFilter &filter, const ClassesSides &sides,
                     std::vector<RuleReport> &reports, const Environment &environment);

// The lines for standard error at the end of a run: how many findings each baseline and
// allowlist took out and, with `verbose`, each allowlist entry that matched nothing.
std::vector<std::string> filter_summary(const FindingFilter &filter, bool verbose);
