// Baselines and allowlists: reading allowlists, matching findings against both, and the tallies
// told on standard error.
#include "clsidscan/finding_filter.h"

#include "clsidscan/finding_ids.h"
#include "evidence/source_file.h"
#include "registry/ascii_text.h"

#include <unistd.h>

#include <algorithm>

namespace {

constexpr std::uint64_t LARGEST_ALLOWLIST = std::uint64_t(16) << 20;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool all_hex(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

// Reads a whole small file as sources are opened (regular files, or a pipe on standard input).
bool read_small_file(const std::string &path, std::uint64_t largest, std::string &bytes,
                     std::string &error) {
    std::uint64_t size = 0;
    bool is_stream = false;
    int descriptor = open_source_file(path, size, is_stream, error);
    if (descriptor < 0)
        return false;
    bool read = false;
    if (!is_stream && size > largest)
        error = path + ": larger than " + std::to_string(largest >> 20) + " MiB";
    else
        read = read_descriptor(descriptor, path, size, is_stream, bytes, error);
    close(descriptor);
    if (read && bytes.size() > largest) {
        error = path + ": larger than " + std::to_string(largest >> 20) + " MiB";
        read = false;
    }
    return read;
}

} // namespace

bool matches_pattern(std::string_view pattern, std::string_view text) {
    // Greedy, going back only to the last star: at most pattern × text steps.
    std::size_t p = 0, t = 0, star = std::string_view::npos, star_text = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            p++;
            t++;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_text = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++star_text;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        p++;
    return p == pattern.size();
}

bool read_allowlist(const std::string &path, std::vector<AllowEntry> &entries, std::string &error) {
    std::string bytes;
    if (!read_small_file(path, LARGEST_ALLOWLIST, bytes, error))
        return false;
    if (bytes.size() >= 2 && ((bytes[0] == '\xFF' && bytes[1] == '\xFE') ||
                              (bytes[0] == '\xFE' && bytes[1] == '\xFF'))) {
        error = path + ": UTF-16 text; an allowlist is UTF-8 or ASCII text";
        return false;
    }
    std::string_view text(bytes);
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::size_t number = 0;
    while (!text.empty()) {
        std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = trimmed(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        number++;
        auto fail = [&](const std::string &what) {
            error = path + ":" + std::to_string(number) + ": " + what;
            return false;
        };
        if (line.find('\0') != std::string_view::npos)
            return fail("a NUL byte: not a text allowlist");
        if (line.empty() || line.front() == '#')
            continue;
        std::size_t word_end = std::min(line.find_first_of(" \t"), line.size());
        std::string_view word = line.substr(0, word_end), rest = trimmed(line.substr(word_end));
        AllowEntry entry;
        entry.line = number;
        if (all_hex(word) && (word.size() == 16 || word.size() == 64)) {
            if (!rest.empty())
                return fail(std::string(word.size() == 16 ? "an id" : "a SHA-256") +
                            " is alone on its line");
            if (word.size() == 16) {
                entry.kind = AllowEntry::Kind::Id;
                parse_id(word, entry.id);
            } else {
                entry.kind = AllowEntry::Kind::Sha256;
                entry.value = ascii_lowered(word);
            }
        } else {
            entry.kind = AllowEntry::Kind::Key;
            entry.value = ascii_raised(word);
            entry.pattern = ascii_lowered(rest);
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

bool allow_entry_matches(const AllowEntry &entry, const FindingFacts &finding) {
    switch (entry.kind) {
    case AllowEntry::Kind::Id:
        return entry.id == finding.id;
    case AllowEntry::Kind::Sha256:
        return !finding.sha256.empty() && entry.value == finding.sha256;
    case AllowEntry::Kind::Key:
        return entry.value == ascii_raised(finding.key) &&
               (entry.pattern.empty() || matches_pattern(entry.pattern, finding.server));
    }
    return false;
}

namespace {

void index_entry(AllowIndex &index, const AllowEntry &entry, AllowIndex::Place place) {
    switch (entry.kind) {
    case AllowEntry::Kind::Id:
        index.ids[entry.id].push_back(place);
        return;
    case AllowEntry::Kind::Sha256:
        index.sha256s[entry.value].push_back(place);
        return;
    case AllowEntry::Kind::Key:
        break;
    }
    AllowIndex::KeyEntries &key = index.keys[entry.value];
    std::size_t wildcard = entry.pattern.find_first_of("*?");
    if (entry.pattern.empty()) {
        key.any_server.push_back(place);
    } else if (wildcard == std::string::npos) {
        key.literal[entry.pattern].push_back(place);
    } else {
        std::size_t length = std::min(wildcard, AllowIndex::PATTERN_PREFIX);
        key.by_prefix[entry.pattern.substr(0, length)].push_back(place);
        auto at = std::lower_bound(key.prefix_lengths.begin(), key.prefix_lengths.end(), length);
        if (at == key.prefix_lengths.end() || *at != length)
            key.prefix_lengths.insert(at, length);
    }
}

} // namespace

bool read_allowlists(const std::vector<std::string> &files, FindingFilter &filter,
                     std::string &error) {
    for (const std::string &file : files) {
        FindingFilter::Allowlist list{file, {}};
        if (!read_allowlist(file, list.entries, error))
            return false;
        filter.matched.emplace_back(list.entries.size());
        filter.allowlists.push_back(std::move(list));
    }
    filter.allowed = std::vector<std::atomic<std::size_t>>(filter.allowlists.size());
    for (std::size_t l = 0; l < filter.allowlists.size(); l++)
        for (std::size_t e = 0; e < filter.allowlists[l].entries.size(); e++)
            index_entry(filter.allow_index, filter.allowlists[l].entries[e], {l, e});
    return true;
}

bool allow_finding(FindingFilter &filter, const FindingFacts &finding, bool has_id) {
    const AllowIndex &index = filter.allow_index;
    std::size_t first_list = filter.allowlists.size();
    auto try_entries = [&](const std::vector<AllowIndex::Place> &places) {
        filter.entries_compared += places.size();
        for (const AllowIndex::Place &place : places)
            if (allow_entry_matches(filter.allowlists[place.list].entries[place.entry], finding)) {
                filter.matched[place.list][place.entry] = true;
                first_list = std::min(first_list, place.list);
            }
    };
    auto look_up = [&](const auto &table, const auto &name) {
        auto found = table.find(name);
        if (found != table.end())
            try_entries(found->second);
    };
    if (has_id)
        look_up(index.ids, finding.id);
    if (!finding.sha256.empty())
        look_up(index.sha256s, std::string(finding.sha256));
    auto key = index.keys.find(ascii_raised(finding.key));
    if (key != index.keys.end()) {
        const AllowIndex::KeyEntries &entries = key->second;
        try_entries(entries.any_server);
        look_up(entries.literal, std::string(finding.server));
        for (std::size_t length : entries.prefix_lengths) {
            if (length > finding.server.size())
                break;
            look_up(entries.by_prefix, std::string(finding.server.substr(0, length)));
        }
    }
    if (first_list == filter.allowlists.size())
        return false;
    filter.allowed[first_list]++;
    return true;
}

void filter_findings(FindingFilter &filter, const ClassesSides &sides,
                     std::vector<RuleReport> &reports, const Environment &environment) {
    for (RuleReport &report : reports) {
        auto left_out = [&](const FoundClass &found) {
            std::uint64_t id = 0;
            bool has_id = parse_id(finding_id(sides, report, found, environment), id);
            if (has_id) {
                auto known = filter.baseline_ids.find(id);
                if (known != filter.baseline_ids.end()) {
                    filter.known[known->second]++;
                    return true;
                }
            }
            if (filter.allowlists.empty())
                return false;
            std::string server = id_server(found, report.view, environment);
            const ServerFile *file = found.server_file ? &found.server_file->file : nullptr;
            std::string_view sha256;
            if (file && file->state == FileState::Present)
                sha256 = file->sha256;
            FindingFacts facts{has_id ? id : 0, found.key, server, sha256};
            return allow_finding(filter, facts, has_id);
        };
        auto &found = report.found;
        auto kept_end = std::remove_if(found.begin(), found.end(), left_out);
        if (kept_end == found.end())
            continue;
        found.erase(kept_end, found.end());
        report.text.clear();
        for (const FoundClass &one : found)
            report.text += one.entry;
    }
}

std::vector<std::string> filter_summary(const FindingFilter &filter, bool verbose) {
    std::vector<std::string> lines;
    if (!filter.baseline_files.empty()) {
        std::size_t total = 0;
        std::string each;
        for (std::size_t i = 0; i < filter.baseline_files.size(); i++) {
            total += filter.known[i];
            each += (i ? ", " : "") + std::to_string(filter.known[i]) + " in " +
                    filter.baseline_files[i];
        }
        lines.push_back("--baseline: " + std::to_string(total) + " finding" +
                        (total == 1 ? "" : "s") + " known and not printed (" + each + ")");
    }
    for (std::size_t l = 0; l < filter.allowlists.size(); l++) {
        const FindingFilter::Allowlist &list = filter.allowlists[l];
        lines.push_back("--allow " + list.file + ": " + std::to_string(filter.allowed[l]) +
                        " finding" + (filter.allowed[l] == 1 ? "" : "s") +
                        " allowed and not printed");
        if (verbose)
            for (std::size_t e = 0; e < list.entries.size(); e++)
                if (!filter.matched[l][e])
                    lines.push_back(list.file + ":" + std::to_string(list.entries[e].line) +
                                    ": this entry matched no finding");
    }
    return lines;
}
