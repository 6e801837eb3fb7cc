// clsid-scan's JSON Lines read back, strictly and as a stream: the findings of earlier runs and of
// other machines, for --baseline and --stack (the Linux build; clsidscan/no_findings_json.cpp
// answers in the Windows build).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// What one finding line holds that baselines and stacking use. The texts point into the reader's
// buffers and last until the visitor returns.
struct FindingLine {
    std::uint64_t id = 0;     // the 16 hex digits of "id"
    std::string_view machine; // the bytes of "machine_hex" when the line has it, else "machine"
    bool has_machine = false; // false when the line has no machine, or null
    std::string_view user;    // the bytes of "user_hex" when the line has it, else "user"
    bool has_user = false;    // false for the machine's own findings and plain runs
    std::string_view rule, side, key, description;
    std::int64_t view = 0;
    std::string_view server; // "server", else "user_server" (the shadow rule), else empty
    std::string_view sha256; // "file"."sha256", empty when null or absent
    std::string machine_bytes, user_bytes; // what "machine_hex" and "user_hex" spell
};

// Called for each finding line; returns false with `error` set (without file or line) to stop.
using FindingVisitor = std::function<bool(const FindingLine &line, std::string &error)>;

// The longest line read (4 GiB less a byte, the largest document the JSON parser takes); longer
// ones are an error. clsid-scan writes no longer line: it notes a finding that would make one.
constexpr std::size_t LONGEST_FINDING_LINE = 0xFFFFFFFF;

// Reads the finding lines of `path` that start at a byte offset in [begin, end): a line starts
// at offset 0 or after a line feed. Each line must be one JSON object with the fields clsid-scan
// writes ("id", "rule", "view", "side", "key", "description"; "machine", "user", "server",
// "user_server" and "file" of the right types when present); a CR before the line feed, a UTF-8
// byte order mark and empty lines are passed over, and a score of infinity (1e999, as clsid-scan
// writes it) is read as a number. The file is opened as sources are (regular files, or standard
// input when it is a pipe, read whole with `begin` 0) and read up to the size it had when opened;
// a file that gives its size as 0 but holds data (such as /proc's) is refused. False with `error`
// naming the file and, for a line, its number.
bool read_finding_lines(const std::string &path, std::uint64_t begin, std::uint64_t end,
                        const FindingVisitor &visit, std::string &error);
