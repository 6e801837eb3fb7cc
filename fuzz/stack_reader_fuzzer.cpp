// libFuzzer target: the JSON Lines reader of --stack and --baseline; the input is the file read.
//
// The seeds (corpus/stack_reader) are lines as clsid-scan writes them: machines and users named
// in hex, scores of infinity, CR LF ends, a byte order mark, a line that is not a finding.
//
// Each run writes the input to a file of its own and checks: the read either succeeds without an
// error or fails with one that names the file and a line; each finding read has a rule; read in
// two parts that meet at a byte the input chooses, the file gives the same findings in the same
// order, and fails exactly when the whole read does; and the baselines read from it hold the ids
// of the whole read.
#include "clsidscan/finding_filter.h"
#include "clsidscan/findings_json.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "stack_reader_fuzzer: %s\n", what);
        std::abort();
    }
}

struct Read {
    bool ok = false;
    std::string error;
    std::vector<std::string> findings; // id, machine, user and rule of each
};

void read_range(const std::string &path, std::uint64_t begin, std::uint64_t end, Read &read) {
    read.ok = read_finding_lines(
        path, begin, end,
        [&](const FindingLine &line, std::string &) {
            check(!line.rule.empty(), "a finding without a rule");
            read.findings.push_back(std::to_string(line.id) + "|" + std::string(line.machine) +
                                    "|" + std::to_string(line.has_machine) + "|" +
                                    std::string(line.user) + "|" + std::string(line.rule));
            return true;
        },
        read.error);
    if (!read.ok)
        check(read.error.rfind(path + ":", 0) == 0, "an error that does not name the file");
}

const std::string &input_path() {
    static const std::string path = "/tmp/stack_reader_fuzzer." + std::to_string(getpid());
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string &path = input_path();
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(file >= 0, "cannot write the input file");
    check(write(file, data, size) == static_cast<ssize_t>(size), "cannot write the input file");
    close(file);

    Read whole;
    read_range(path, 0, UINT64_MAX, whole);

    std::uint64_t cut = size == 0 ? 0 : data[size - 1] * size / 256;
    Read parts;
    read_range(path, 0, cut, parts);
    Read second;
    if (parts.ok)
        read_range(path, cut, UINT64_MAX, second);
    parts.ok = parts.ok && second.ok;
    parts.findings.insert(parts.findings.end(), second.findings.begin(), second.findings.end());
    check(parts.ok == whole.ok, "two parts fail where the whole does not, or the reverse");
    if (whole.ok)
        check(parts.findings == whole.findings, "two parts read other findings than the whole");

    FindingFilter filter;
    std::string error;
    check(read_baselines({path}, filter, error) == whole.ok, "baselines read otherwise");
    if (whole.ok) {
        std::unordered_set<std::string> ids;
        for (const std::string &finding : whole.findings)
            ids.insert(finding.substr(0, finding.find('|')));
        check(filter.baseline_ids.size() == ids.size(), "baselines hold other ids");
    }
    return 0;
}
