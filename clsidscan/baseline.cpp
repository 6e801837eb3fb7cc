// Baselines: the ids of the findings of earlier runs or of a known-good machine, read from
// clsid-scan's JSON Lines.
#include "clsidscan/finding_filter.h"
#include "clsidscan/findings_json.h"

#include <limits>
#include <new>

bool read_baselines(const std::vector<std::string> &files, FindingFilter &filter,
                    std::string &error) {
    for (const std::string &file : files) {
        std::size_t index = filter.baseline_files.size();
        filter.baseline_files.push_back(file);
        auto add = [&](const FindingLine &line, std::string &) {
            filter.baseline_ids.emplace(line.id, index); // the first file that has it keeps it
            return true;
        };
        try {
            if (!read_finding_lines(file, 0, std::numeric_limits<std::uint64_t>::max(), add, error))
                return false;
        } catch (const std::bad_alloc &) {
            error = file + ": not enough memory for its ids";
            return false;
        }
    }
    filter.known = std::vector<std::atomic<std::size_t>>(filter.baseline_files.size());
    return true;
}
