// The report text: creation, whole-or-nothing appends, and the layout of entry lines.
#include "scanframe/scanframe.h"

#include <cstdint>
#include <cstring>

const char ENTRY_PREFIX[] = "HKEY_CLASSES_ROOT\\CLSID\\";
const char LABEL_DESCRIPTION[] = "               \t";
const char LABEL_INPROC_SERVER32[] = "\\InprocServer32\t";
const char LABEL_TYPELIB[] = "\\TypeLib       \t";

static_assert(sizeof ENTRY_PREFIX - 1 == 24, "the prefix is 24 characters");
static_assert(sizeof LABEL_DESCRIPTION - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_INPROC_SERVER32 - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_TYPELIB - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");

bool report_create(ReportText &report) {
    report.text = static_cast<char *>(heap_alloc(1));
    report.length = 0;
    report.capacity = report.text ? 1 : 0;
    if (!report.text)
        return false;
    report.text[0] = '\0';
    return true;
}

void report_release(ReportText &report) {
    heap_free(report.text);
    report.text = nullptr;
    report.length = 0;
    report.capacity = 0;
}

// Makes room for `extra` more characters and the NUL, growing the block when needed. Leaves the
// report untouched and returns false when the larger block cannot be had. Growing in place
// (where the heap can) keeps a large report from being copied, and touched, again and again.
static bool reserve_room(ReportText &report, std::size_t extra) {
    if (extra > SIZE_MAX - 1 - report.length)
        return false;
    std::size_t needed = report.length + extra + 1;
    if (needed <= report.capacity)
        return true;
    std::size_t capacity = report.capacity;
    while (capacity < needed)
        capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
    char *grown = static_cast<char *>(heap_realloc(report.text, capacity));
    if (!grown)
        return false;
    report.text = grown;
    report.capacity = capacity;
    return true;
}

bool append_pieces(ReportText &report, const char *const *pieces, std::size_t piece_count) {
    std::size_t extra = 0;
    for (std::size_t i = 0; i < piece_count; i++) {
        std::size_t piece_length = std::strlen(pieces[i]);
        if (piece_length > SIZE_MAX - extra)
            return false;
        extra += piece_length;
    }
    if (!reserve_room(report, extra))
        return false;
    for (std::size_t i = 0; i < piece_count; i++) {
        std::size_t piece_length = std::strlen(pieces[i]);
        std::memcpy(report.text + report.length, pieces[i], piece_length);
        report.length += piece_length;
    }
    report.text[report.length] = '\0';
    return true;
}

bool append_text(ReportText &report, const char *piece) {
    return append_pieces(report, &piece, 1);
}

bool append_entry(ReportText &report, const char *key_name, const EntryLine *lines,
                  std::size_t line_count, bool blank_line_after) {
    // Five pieces a line and one for the blank line; an entry has at most three lines.
    constexpr std::size_t MAX_LINES = 3;
    const char *pieces[MAX_LINES * 5 + 1];
    if (line_count > MAX_LINES)
        return false;
    std::size_t count = 0;
    for (std::size_t i = 0; i < line_count; i++) {
        pieces[count++] = ENTRY_PREFIX;
        pieces[count++] = key_name;
        pieces[count++] = lines[i].label;
        pieces[count++] = lines[i].value;
        pieces[count++] = "\n";
    }
    if (blank_line_after)
        pieces[count++] = "\n";
    return append_pieces(report, pieces, count);
}
