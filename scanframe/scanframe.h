// The scan frame shared by both scanners: the report text, the class walk and the main routine.
#pragma once

#include "scanframe/platform.h"

#include <cstddef>

// ---------------------------------------------------------------------------------------------
// The report: a growing NUL-terminated 8-bit text in the system's ANSI code page.
//
// Invariants, from creation until report_release:
//  - text is never NULL and always NUL-terminated: text[length] == '\0';
//  - capacity >= length + 1 is the size of the heap block behind text;
//  - the text only ever grows at its end.
// A ReportText in which text is NULL has not been created, or creating it failed.
struct ReportText {
    char *text;
    std::size_t length;
    std::size_t capacity;
};

// Makes the empty report in a block of 1 byte. Returns false, leaving report.text NULL, when
// even that block cannot be had.
bool report_create(ReportText &report);

// Releases the report's block and sets report.text back to NULL. Accepts a report never created.
void report_release(ReportText &report);

// Appends every piece, in order, or none of them: when the report cannot grow, it is left as
// it was and false is returned. Growth doubles the capacity, so a run of appends costs time
// linear in the final length.
bool append_pieces(ReportText &report, const char *const *pieces, std::size_t piece_count);

// Appends one piece, or nothing when the report cannot grow.
bool append_text(ReportText &report, const char *piece);

// Entry lines: "HKEY_CLASSES_ROOT\CLSID\", the key name, a 16-character label field ending in
// TAB, the value text, LF.
extern const char ENTRY_PREFIX[];          // "HKEY_CLASSES_ROOT\CLSID\"
extern const char LABEL_DESCRIPTION[];     // 15 spaces, TAB
extern const char LABEL_INPROC_SERVER32[]; // "\InprocServer32", TAB
extern const char LABEL_TYPELIB[];         // "\TypeLib", 7 spaces, TAB
constexpr std::size_t LABEL_FIELD_CHARS = 16;

struct EntryLine {
    const char *label;
    const char *value;
};

// Appends one class's entry whole, or nothing at all when the report cannot grow: one entry line
// per element of `lines`, all with `key_name`, then one more LF when `blank_line_after` is set.
bool append_entry(ReportText &report, const char *key_name, const EntryLine *lines,
                  std::size_t line_count, bool blank_line_after);

// ---------------------------------------------------------------------------------------------
// The class walk.

// Capacity of every key or value name buffer, in characters with the NUL, and of every value
// data buffer, in bytes. Each capacity argument is set to these again before every call.
constexpr unsigned long NAME_BUFFER_CHARS = 1024;
constexpr unsigned long DATA_BUFFER_BYTES = 1024;
// The size of a buffer for read_default_string: one byte to spare for the NUL.
constexpr std::size_t DEFAULT_STRING_BUFFER_BYTES = DATA_BUFFER_BYTES + 1;

// Access mask of the CLSID key (KEY_ENUMERATE_SUB_KEYS), and of each class key and of the
// subkeys a class rule opens (KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE).
constexpr unsigned long CLSID_KEY_ACCESS = ACCESS_ENUMERATE_SUB_KEYS;
constexpr unsigned long CLASS_KEY_ACCESS = ACCESS_ENUMERATE_SUB_KEYS | ACCESS_QUERY_VALUE;

// Every registry handle variable of a run. Each is NULL whenever its key is not open; closing
// a key sets its variable back to NULL; the main routine's clean-up closes whatever is open.
// The two subkey handles are used by the bare-server rule only.
struct RunHandles {
    RegKey clsid_key;
    RegKey class_key;
    RegKey inproc_server32_key;
    RegKey type_lib_key;
};

// Closes the key in `handle` when one is open and sets `handle` back to NULL.
void close_key(RegKey &handle);

// Closes every key of the run that is still open.
void close_all_keys(RunHandles &handles);

// One class as the walk lends it to a class rule. `key` is open with CLASS_KEY_ACCESS and owned
// by the walk: the rule must not close it. `name` is the key name as enumerated. `handles` is
// the run's handle set, for a rule that opens subkeys of its own; it must close them and set
// them back to NULL before it returns.
struct ClassKey {
    RegKey key;
    const char *name;
    RunHandles *handles;
};

// What a class rule found in one class, as data: the text report is one rendering of it and a
// program may have others. The texts are the registry's ANSI text as read, NUL-terminated; the
// bare-server rule fills the server path and type library, the random-name rule the score.
struct ClassFinding {
    const char *key_name;
    char description[DEFAULT_STRING_BUFFER_BYTES];
    char server_path[DEFAULT_STRING_BUFFER_BYTES];
    char type_lib[DEFAULT_STRING_BUFFER_BYTES];
    double score;
};

// A program's per-class rule: when the class matches, it appends the class's entry to the
// report. It has no other effect.
typedef void (*ClassRule)(const ClassKey &cls, ReportText &report);

// Walks every subkey of HKEY_CLASSES_ROOT\CLSID in the registry's enumeration order and hands
// each class key that opens to `rule`. Any enumeration failure ends the walk, keeping what was
// found. Returns whether the CLSID key was opened. Leaves handles.clsid_key open for the caller's
// clean-up and handles.class_key NULL.
bool walk_classes(ClassRule rule, ReportText &report, RunHandles &handles);

// Reads the value at index 0 of `key` into `data` (DATA_BUFFER_BYTES + 1 bytes) and accepts it
// only when it is the key's unnamed default value, of type REG_SZ, and fits DATA_BUFFER_BYTES.
// *data_bytes is the byte count the registry reported (the terminator included when stored).
// The accepted text is the data up to its first NUL and never beyond the reported bytes:
// data[*data_bytes] is always set to NUL, which is why the buffer has one byte to spare.
bool read_default_string(RegKey key, char *data, unsigned long *data_bytes);

// True when `key` has no value at index 1. A second value whose name does not fit the name
// buffer still exists, so that case answers false; any other failure answers true.
bool has_no_second_value(RegKey key);

// ---------------------------------------------------------------------------------------------
// The main routine.

// The caption and the three Shift_JIS messages.
extern const char BOX_CAPTION[];
extern const char TEXT_OUT_OF_MEMORY[]; // "the memory was not obtained"
extern const char TEXT_NOTHING_FOUND[]; // "nothing was found"
extern const char TEXT_COPY_QUESTION[]; // "copy to the clipboard?"

// One run: create the report, walk the classes with `rule`, show the result, offer the copy,
// clean up. Returns the process exit code, which is always 0.
int scan_main(ClassRule rule);
