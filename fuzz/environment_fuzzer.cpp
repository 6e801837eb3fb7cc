// libFuzzer target: environment variables set from hive-like values, a server value expanded
// with them and split as a command line and as a library path.
//
// The input is lines: each but the last is a variable, "NAME=VALUE" expanded or "NAME:VALUE"
// taken as written (the first four lines go to the machine, the rest to a user); the last line is
// the server value, expanded when its first byte is odd. Every value and expansion must stay
// within Windows' limit, whole characters only; a command line gives at most the capped number
// of candidates, each a growing prefix of the line; the Path is searched in bounded folders.
#include "files/server_path.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "environment_fuzzer: %s\n", what);
        std::abort();
    }
}

void check_text(std::string_view text) {
    check(utf16_length(text) <= kMaxExpandedLength, "a value past the limit");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start <= input.size();) {
        std::size_t end = std::min(input.find('\n', start), input.size());
        lines.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    std::string_view server = lines.back();
    lines.pop_back();
    std::vector<EnvironmentValue> machine_values, user_values;
    for (std::size_t i = 0; i < lines.size(); i++) {
        std::size_t split = lines[i].find_first_of("=:");
        if (split == std::string_view::npos)
            continue;
        EnvironmentValue value{std::string(lines[i].substr(0, split)),
                               std::string(lines[i].substr(split + 1)), lines[i][split] == '='};
        (i < 4 ? machine_values : user_values).push_back(std::move(value));
    }
    Environment environment = machine_environment();
    set_variables(environment, machine_values);
    add_user_environment(environment, "fuzz");
    set_user_variables(environment, user_values);
    for (const std::vector<EnvironmentValue> *values : {&machine_values, &user_values})
        for (const EnvironmentValue &value : *values)
            check_text(environment.value(value.name));
    check(environment.search_path().size() <= kMaxPathFolders, "too many Path folders");

    bool cut = false;
    std::string expanded = expand_environment(server, environment, &cut);
    check_text(expanded);
    check(expand_environment(server, environment) == expanded, "two expansions differ");

    std::vector<CommandLinePart> parts = split_command_line(expanded, &cut);
    check(parts.size() <= kMaxCommandLineCandidates, "too many candidates");
    check(!cut || parts.size() == kMaxCommandLineCandidates, "cut before the limit");
    for (std::size_t i = 0; i < parts.size(); i++) {
        std::string_view program = parts[i].program;
        check(program.data() >= expanded.data() &&
                  program.data() + program.size() <= expanded.data() + expanded.size(),
              "a candidate outside the line");
        check(i == 0 || (program.data() == parts[0].program.data() &&
                         program.size() > parts[i - 1].program.size()),
              "candidates that are not growing prefixes");
    }
    ValueType type =
        !server.empty() && (server[0] & 1) ? ValueType::ExpandString : ValueType::String;
    for (ServerKind kind : {ServerKind::InProcess, ServerKind::CommandLine})
        for (Bitness view : {Bitness::Bits64, Bitness::Bits32}) {
            ServerValueNotes notes;
            std::vector<ServerCandidate> candidates =
                server_candidates(server, type, kind, view, environment, &notes);
            check(candidates.size() <= kMaxCommandLineCandidates, "too many server candidates");
            for (const ServerCandidate &candidate : candidates)
                check(candidate.places.size() <= kMaxPathFolders + 3, "too many places");
        }
    return 0;
}
