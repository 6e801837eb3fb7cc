// clsid-scan's JSON Lines read back with simdjson, one line at a time, from a buffer that is read
// in blocks: memory stays a block and the longest line, whatever the file. Each line is parsed
// whole (the DOM parser, which validates all of it and picks the processor's fastest kernel when
// it runs, where On Demand would be built for the oldest x86-64 processors).
#include "clsidscan/findings_json.h"

#include "clsidscan/finding_ids.h"
#include "evidence/source_file.h"

#include <simdjson.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace {

namespace dom = simdjson::dom;

constexpr std::size_t BLOCK = std::size_t(1) << 20;
static_assert(LONGEST_FINDING_LINE == simdjson::SIMDJSON_MAXSIZE_BYTES,
              "lines as long as the parser takes");

// Closes the descriptor it holds.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0)
            close(fd);
    }
};

// A string field's text, or a null one's absence; false when it is neither.
bool string_or_null(dom::element value, std::string_view &text, bool &present) {
    present = !value.is_null();
    return !present || !value.get_string().get(text);
}

bool string_field(dom::element value, std::string_view &text) {
    bool present = false;
    return string_or_null(value, text, present) && present;
}

// "file": null, or an object whose "sha256" is a string or null.
bool file_field(dom::element value, std::string_view &sha256) {
    if (value.is_null())
        return true;
    dom::object file;
    if (value.get_object().get(file))
        return false;
    dom::element hash;
    bool present = false;
    return file["sha256"].get(hash) == simdjson::NO_SUCH_FIELD ||
           (!file["sha256"].get(hash) && string_or_null(hash, sha256, present));
}

// A name's bytes from the lowercase hex clsid-scan writes them in ("machine_hex", "user_hex").
bool hex_name(std::string_view hex, std::string &bytes) {
    if (hex.empty() || hex.size() % 2 != 0)
        return false;
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    bytes.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int high = digit(hex[i]), low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

// clsid-scan writes a score of infinity as the number 1e999, which the parser refuses as out of
// range: each such number, outside strings, is spelt 1e308 instead (the score is not read).
// Whether any was.
bool spell_infinite_scores(char *text, std::size_t length) {
    bool in_string = false, changed = false;
    for (std::size_t i = 0; i < length; i++) {
        char c = text[i];
        if (in_string) {
            if (c == '\\')
                i++;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '1' && length - i >= 5 && std::memcmp(text + i, "1e999", 5) == 0 && i > 0 &&
                   std::string_view(":,[ -").find(text[i - 1]) != std::string_view::npos &&
                   (length - i == 5 ||
                    std::string_view(",]} \t").find(text[i + 5]) != std::string_view::npos)) {
            std::memcpy(text + i, "1e308", 5);
            changed = true;
            i += 4;
        }
    }
    return changed;
}

// Reads one line's object into `line`; an empty string on success, else what is wrong.
std::string parse_line(dom::parser &parser, char *text, std::size_t length, FindingLine &line) {
    line = FindingLine();
    dom::element document;
    simdjson::error_code parsed = parser.parse(text, length, false).get(document);
    if (parsed == simdjson::NUMBER_ERROR && spell_infinite_scores(text, length))
        parsed = parser.parse(text, length, false).get(document);
    if (parsed)
        return "not JSON";
    dom::object object;
    if (document.get_object().get(object))
        return "not a JSON object";
    std::string_view machine, machine_hex, user, user_hex, server, user_server;
    bool has_machine = false, has_machine_hex = false, has_user = false, has_user_hex = false;
    bool has_server = false, has_user_server = false;
    enum Required { ID, RULE, VIEW, SIDE, KEY, DESCRIPTION, COUNT };
    bool seen[COUNT] = {};
    static const char *const required_names[COUNT] = {"id",   "rule", "view",
                                                      "side", "key",  "description"};
    for (dom::key_value_pair field : object) {
        std::string_view name = field.key;
        dom::element value = field.value;
        bool ok = true;
        std::string_view id_text;
        if (name == "id") {
            ok = string_field(value, id_text) && parse_id(id_text, line.id);
            seen[ID] = true;
        } else if (name == "rule") {
            ok = string_field(value, line.rule) && !line.rule.empty();
            seen[RULE] = true;
        } else if (name == "view") {
            ok = !value.get_int64().get(line.view);
            seen[VIEW] = true;
        } else if (name == "side") {
            ok = string_field(value, line.side);
            seen[SIDE] = true;
        } else if (name == "key") {
            ok = string_field(value, line.key);
            seen[KEY] = true;
        } else if (name == "description") {
            ok = string_field(value, line.description);
            seen[DESCRIPTION] = true;
        } else if (name == "machine") {
            ok = string_or_null(value, machine, has_machine);
        } else if (name == "machine_hex") {
            ok = string_or_null(value, machine_hex, has_machine_hex);
        } else if (name == "user") {
            ok = string_or_null(value, user, has_user);
        } else if (name == "user_hex") {
            ok = string_or_null(value, user_hex, has_user_hex);
        } else if (name == "server") {
            ok = string_or_null(value, server, has_server);
        } else if (name == "user_server") {
            ok = string_or_null(value, user_server, has_user_server);
        } else if (name == "file") {
            ok = file_field(value, line.sha256);
        }
        if (!ok)
            return name == "id"
                       ? "\"id\" is not 16 hex digits"
                       : "\"" + std::string(name) + "\" is not what clsid-scan writes there";
    }
    for (int i = 0; i < COUNT; i++)
        if (!seen[i])
            return std::string("no \"") + required_names[i] + "\"" +
                   (i == ID ? " (not clsid-scan JSON Lines, or written before findings had ids)"
                            : "");
    if (has_machine_hex && !hex_name(machine_hex, line.machine_bytes))
        return "\"machine_hex\" is not what clsid-scan writes there";
    if (has_user_hex && !hex_name(user_hex, line.user_bytes))
        return "\"user_hex\" is not what clsid-scan writes there";
    line.has_machine = has_machine || has_machine_hex;
    line.machine = has_machine_hex ? std::string_view(line.machine_bytes) : machine;
    line.has_user = has_user || has_user_hex;
    line.user = has_user_hex ? std::string_view(line.user_bytes) : user;
    line.server = has_server ? server : has_user_server ? user_server : std::string_view();
    return std::string();
}

// The number of line feeds in the first `offset` bytes of the file.
std::uint64_t line_feeds_before(int fd, std::uint64_t offset) {
    std::vector<char> block(static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK, offset)));
    std::uint64_t count = 0;
    for (std::uint64_t at = 0; at < offset;) {
        ssize_t got = pread(fd, block.data(), std::min<std::uint64_t>(BLOCK, offset - at),
                            static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        count += static_cast<std::uint64_t>(std::count(block.data(), block.data() + got, '\n'));
        at += static_cast<std::uint64_t>(got);
    }
    return count;
}

} // namespace

bool read_finding_lines(const std::string &path, std::uint64_t begin, std::uint64_t end,
                        const FindingVisitor &visit, std::string &error) {
    std::uint64_t size = 0;
    bool is_stream = false;
    Descriptor file;
    file.fd = open_source_file(path, size, is_stream, error);
    if (file.fd < 0)
        return false;
    if (is_stream) {
        begin = 0;
        size = std::numeric_limits<std::uint64_t>::max();
    }
    if (!is_stream && size == 0) {
        // A file of /proc or /sys gives its size as 0 and makes up its text as it is read.
        char byte;
        if (pread(file.fd, &byte, 1, 0) > 0) {
            error = path + ": gives its size as 0 but holds data (a file of /proc or /sys?): not a "
                           "file clsid-scan wrote";
            return false;
        }
    }
    end = std::min(end, size);
    if (begin >= end)
        return true;

    // The buffer holds [0, filled) of the file from `base` on, and SIMDJSON_PADDING bytes more.
    // A small file takes a small buffer.
    std::vector<char> buffer(simdjson::SIMDJSON_PADDING);
    std::uint64_t base = begin, read_at = begin;
    std::size_t filled = 0, line_start = 0;
    std::uint64_t lines_before = 0; // line feeds from `begin` to the line being read
    bool at_end = false, skip_partial = begin > 0;
    dom::parser parser;
    FindingLine line;
    auto fail = [&](const std::string &what) {
        std::uint64_t number = lines_before + 1;
        if (begin > 0)
            number += line_feeds_before(file.fd, begin);
        error = path + ":" + std::to_string(number) + ": " + what;
        return false;
    };
    const std::string too_long = "a line longer than " + std::to_string(LONGEST_FINDING_LINE) +
                                 " bytes: not clsid-scan JSON Lines";
    if (skip_partial) {
        // A range that starts inside a line leaves that line to the range before it.
        base = read_at = begin - 1;
    }
    std::size_t searched = 0; // the buffer holds no line feed from line_start up to here
    while (true) {
        // A long line is searched once, not again with each block read behind it.
        std::size_t from = std::max(line_start, searched);
        char *newline = static_cast<char *>(std::memchr(buffer.data() + from, '\n', filled - from));
        if (newline == nullptr && !at_end) {
            // Keep the partial line, and read more behind it; the rest of a line that started
            // before the range is the range before's to read.
            if (skip_partial) {
                // No line starts in a range that lies inside one line: it is not read to its end,
                // which each of the many ranges of a long line would do.
                if (base + filled >= end)
                    return true;
                base += filled;
                filled = line_start = 0;
            }
            if (line_start > 0) {
                std::memmove(buffer.data(), buffer.data() + line_start, filled - line_start);
                filled -= line_start;
                base += line_start;
                line_start = 0;
            }
            searched = filled;
            if (filled > LONGEST_FINDING_LINE)
                return fail(too_long);
            std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK, size - read_at));
            if (buffer.size() < filled + want + simdjson::SIMDJSON_PADDING)
                buffer.resize(filled + want + simdjson::SIMDJSON_PADDING);
            ssize_t got = want == 0   ? 0
                          : is_stream ? read(file.fd, buffer.data() + filled, want)
                                      : pread(file.fd, buffer.data() + filled, want,
                                              static_cast<off_t>(read_at));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                error = path + ": " + std::strerror(errno);
                return false;
            }
            filled += static_cast<std::size_t>(got);
            read_at += static_cast<std::uint64_t>(got);
            at_end = got == 0;
            continue;
        }
        std::size_t line_end = newline ? static_cast<std::size_t>(newline - buffer.data()) : filled;
        std::uint64_t offset = base + line_start;
        if (skip_partial) {
            // The byte before `begin` was read first: the first line of the range follows the
            // first line feed from there on, which is counted when it lies in the range.
            skip_partial = false;
            lines_before = base + line_end >= begin ? 1 : 0;
        } else {
            if (offset >= end)
                return true;
            std::size_t length = line_end - line_start;
            char *text = buffer.data() + line_start;
            if (offset == 0 && length >= 2 &&
                ((text[0] == '\xFF' && text[1] == '\xFE') ||
                 (text[0] == '\xFE' && text[1] == '\xFF')))
                return fail("UTF-16 text; clsid-scan writes JSON Lines in UTF-8 (in "
                            "PowerShell, Out-File -Encoding utf8 or cmd /c ... > FILE)");
            if (offset == 0 && length >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
                text += 3;
                length -= 3;
            }
            if (length > 0 && text[length - 1] == '\r')
                length--;
            if (length > LONGEST_FINDING_LINE)
                return fail(too_long);
            bool blank = std::all_of(text, text + length,
                                     [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
            if (!blank) {
                std::string wrong = parse_line(parser, text, length, line);
                if (!wrong.empty())
                    return fail(wrong);
                std::string refused;
                if (!visit(line, refused))
                    return fail(refused);
            }
            lines_before++;
        }
        if (newline == nullptr)
            return true; // the last line, without a line feed
        line_start = line_end + 1;
    }
}
