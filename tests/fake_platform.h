// In-memory stand-in for the platform interface, linked into the unit tests instead of Win32.
//
// Its registry is the product's in-memory registry (registry/memory_registry.h) in the ANSI form,
// which behaves like Windows where the scan depends on it: case-insensitive key names, subkeys
// enumerated in sorted order, values in insertion order with raw data that may lack a
// terminating NUL, and the capacity rules of RegEnumKeyExA and RegEnumValueA. Over it, this layer
// keeps the handles, records every call, counts open handles and live blocks, and can fail any
// call; the message box, clipboard, global memory and heap are its own. The wide calls read a
// second tree in the UTF-16 form, holding HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, on handles
// of their own that count among the open handles too.
//
// It is fast enough for a registry of a million classes: a subkey is found by name in O(log n),
// enumerated by index in O(1), and added in O(1) when the names come in sorted order. Call
// recording can be switched off for such runs.
#pragma once

#include "scanframe/platform.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace fake {

enum class Op {
    OpenKey,
    EnumKey,
    EnumValue,
    CloseKey,
    MessageBox,
    HeapAlloc,
    GlobalAlloc,
    GlobalLock,
    GlobalUnlock,
    GlobalFree,
    ClipboardOpen,
    ClipboardEmpty,
    ClipboardSetData,
    ClipboardClose,
    OpenKeyW,
    EnumKeyW,
    EnumValueW,
    CloseKeyW,
    QueryKeyTimeW,
    FileOpenW,
    FileQuery,
    FileRead,
    FileClose,
    Sha256Begin,
    Sha256Add,
    Sha256End,
    EnvironmentBlockW,
    WindowsFolderW,
    Any, // in a fault rule: count every call of every operation
};

const char *op_name(Op op);

// Starts afresh: HKEY_CLASSES_ROOT alone, no rules, no records, nothing open.
void reset();

// --- The registry tree. Paths are relative to HKEY_CLASSES_ROOT, parts joined by '\'. ---

// Creates the key and any missing parent.
void add_key(const std::string &path);
// Adds (or replaces) a value with exactly these data bytes; creates the key when missing.
void add_value(const std::string &path, const std::string &name, unsigned long type,
               const std::string &data);
// Adds a REG_SZ holding `text` and its terminating NUL.
void add_string(const std::string &path, const std::string &name, const std::string &text);
// Removes a key and everything below it. Open handles to removed keys answer
// REG_ERROR_KEY_DELETED from then on.
void delete_key(const std::string &path);
void delete_value(const std::string &path, const std::string &name);

// --- The wide calls' tree. Paths are relative to the predefined key, parts joined by '\'. ---

enum class WideRoot { LocalMachine, CurrentUser };

// Creates the key and any missing parent.
void add_wide_key(WideRoot root, const std::u16string &path);
// Adds (or replaces) a value with exactly these data bytes; creates the key when missing.
void add_wide_value(WideRoot root, const std::u16string &path, const std::u16string &name,
                    unsigned long type, const std::string &data);
// Removes a key and everything below it; open handles to them answer REG_ERROR_KEY_DELETED.
void delete_wide_key(WideRoot root, const std::u16string &path);
// Sets the last write time (a FILETIME) the key reports; creates the key when missing.
void set_wide_key_time(WideRoot root, const std::u16string &path, unsigned long long written);

// --- The file calls' files. Paths are as file_open_w is given them after its "\\?\" prefix
// ("C:\Windows\a.dll"), in UTF-8, found without regard to ASCII letter case; the folders above
// a file are there too. Each file has an index of its own. ---

// Adds (or replaces) a file holding `content`, with these attributes and reparse tag beside the
// ones it has for being a file; `written` is its last write time (a FILETIME).
void add_file(const std::string &path, const std::string &content, unsigned long attributes = 0,
              unsigned long reparse_tag = 0, unsigned long long written = 0);
// Adds a folder, with these attributes and reparse tag too (a junction: FILE_ATTR_REPARSE_POINT
// and a name surrogate tag).
void add_folder(const std::string &path, unsigned long attributes = 0,
                unsigned long reparse_tag = 0);
// Gives the file at `existing` a second name (a hard link): one index, one content.
void add_hard_link(const std::string &existing, const std::string &path);
// Changes the content of a file that is there, open handles included (their position stays).
void set_file_content(const std::string &path, const std::string &content);
// The strings ("NAME=value") of the block environment_block_w answers; none at first.
void set_environment(const std::vector<std::u16string> &strings);
// The folder windows_folder_w answers ("C:\Windows" at first).
void set_windows_folder(const std::u16string &folder);

struct FileOpen {
    std::string path; // as given, UTF-8
    FileAccess access;
    FileReparse reparse;
    FileError status;
};
// Every file_open_w, in order.
const std::vector<FileOpen> &file_opens();

// --- Faults. ---

// Fails call number `nth` (1-based) of `op` (of every operation for Op::Any), and every later one
// as well when `from_then_on`. Registry and file calls answer `status`; the others fail their
// own way.
void fail_call(Op op, unsigned long nth, bool from_then_on = false,
               RegStatus status = REG_ERROR_ACCESS_DENIED);
// The number of calls of `op` so far (of all operations for Op::Any).
unsigned long call_count(Op op);
// Runs before every call, with the operation and the call's number among all calls; a test uses
// it to change the registry under the walk.
void on_call(std::function<void(Op op, unsigned long call_number)> hook);

// --- What happened. ---

struct Call {
    Op op;
    std::string key_path;        // the key the call works on ("" for HKEY_CLASSES_ROOT); for the
                                 // wide calls its path from HKEY_LOCAL_MACHINE or
                                 // HKEY_CURRENT_USER, as UTF-8
    std::string name;            // the subkey name, for OpenKey and OpenKeyW (as UTF-8)
    unsigned long index;         // for EnumKey and EnumValue (and their wide forms)
    unsigned long access;        // for OpenKey and OpenKeyW
    unsigned long name_capacity; // for EnumKey and EnumValue
    bool data_wanted;            // for EnumValue: a data buffer was given
    unsigned long data_capacity; // for EnumValue with data
    RegStatus status;            // what the call answered
};
// Every registry call, in order, while recording is on.
const std::vector<Call> &registry_calls();
// Switches the recording of registry calls on (the default after reset) or off. A scan of a
// million classes makes some ten million calls: too many to keep.
void set_call_recording(bool on);
// Forgets the registry calls, message boxes, clipboard state and call counts recorded so far, and
// keeps everything else: the tree, open handles, live blocks, faults and the hook. Lets a
// benchmark scan the same tree again and again.
void clear_records();

struct BoxShown {
    std::string text;
    std::string caption;
    unsigned style;
};
// The answer the next message boxes give (IDNO, 7, unless set).
void set_box_answer(int answer);
const std::vector<BoxShown> &boxes_shown();

struct ClipboardState {
    int opened;        // successful opens
    int emptied;       // EmptyClipboard calls
    int closed;        // CloseClipboard calls
    bool holds_data;   // a block was handed over
    unsigned format;   // its format
    std::string bytes; // the whole block as handed over
};
const ClipboardState &clipboard();

// Global blocks ever allocated, and how many were freed.
int global_blocks_allocated();
int global_blocks_freed();

// The memory the program holds: the sizes of its live heap blocks (heap_alloc not yet freed)
// plus those of its live global blocks (allocated, neither freed nor taken by the clipboard).
// heap_bytes_now is the current sum, peak_heap_bytes the largest it has been since reset or
// reset_peak; reset_peak sets the peak to the current sum.
std::size_t heap_bytes_now();
std::size_t peak_heap_bytes();
void reset_peak();

// Problems found so far: handles left open, closed twice or unknown, blocks leaked, freed twice,
// or touched after the clipboard took them, heap blocks leaked or freed twice, keys opened with
// an access mask that asks for more than reading (for the wide calls: more than KEY_READ, or
// both registry views), a handle of one kind of call used with the other, files or hashes left
// open, a link followed by a file open (at its last name or on the way). Empty when all is well.
std::string problems();

// The number of registry handles open now, of both kinds.
int open_key_count();

} // namespace fake
