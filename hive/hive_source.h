// Reads CLSID and Wow6432Node\CLSID out of a registry hive image with libhivex.
//
// libhivex reads the hive's own file when the image is that file's content unchanged; any other
// image goes to libhivex through an anonymous in-memory file, never through a file on disk: it may
// be a copy recovered from transaction logs that exists nowhere else. A damaged
// image is read a second time in libhivex's tolerant mode; hostile structure (loops, lists that
// repeat entries, absurd counts and sizes) costs no more than the image's own size in time and
// memory. libhivex opens and checks the hive and reads value types and data; names and the
// subkey and value lists are read straight from the cells of the same file (checked, with
// libhivex as the fallback): that spares libhivex's allocations per key, lifts its limit of
// 70,000 subkeys a key, and keeps names exactly as stored.
#pragma once

#include "classes/source_tree.h"
#include "registry/memory_registry.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The three kinds of hive that hold classes.
enum class HiveKind {
    Software,    // the machine's SOFTWARE hive: classes at Classes
    UserClasses, // a user's UsrClass.dat: classes at its root
    NtUser,      // a user's NTUSER.DAT: classes at Software\Classes (older profiles)
};

// What a hive holds of HKEY_CLASSES_ROOT.
struct HiveClasses {
    HiveKind kind = HiveKind::Software;
    // The classes root (its name is empty) with at most two children: CLSID with its full subtree
    // and Wow6432Node holding only its CLSID with its full subtree, names spelled as stored. Both
    // absent when the hive has no classes. Keys in the registry's order, values in stored order.
    MemoryRegistry classes = memory_utf16_tree();
    // Problems that did not stop the read, each starting with the file name.
    std::vector<std::string> warnings;
    // Set when the hive was read but has none of the keys that tell a classes hive (Classes,
    // CLSID, Software): a new or damaged profile's NTUSER.DAT can be such a hive.
    bool holds_no_classes_key = false;
};

// "SOFTWARE", "UsrClass.dat" or "NTUSER.DAT", for messages.
const char *hive_kind_name(HiveKind kind);

// The half of HKEY_CLASSES_ROOT a hive of this kind supplies.
ClassesSide hive_classes_side(HiveKind kind);

// True when `head` (the first bytes of a file, four are enough) starts like a hive.
bool looks_like_hive(std::string_view head);

// Reads the classes out of the hive `image`; `file_name` is only used in messages. Returns false
// with `error` set (naming the file) when the image cannot be read as a hive or is a hive of
// another kind; `out.warnings` then still holds what was noticed before. `image_file`, when not
// -1, is an open descriptor of a file that starts with `image` (such as the one it is mapped
// from) and holds nothing more within the hive bins `image`'s base block gives, which libhivex
// then reads instead of a copy (libhivex reads no further than those bins).
bool read_hive_classes(const std::string &file_name, std::string_view image, HiveClasses &out,
                       std::string &error, int image_file = -1);

// What the reads on this thread have done so far that hostile structure could multiply, for
// tests: key paths built for warnings (at most one per warning kept, however many a hive gives)
// and bytes of key and value names copied out of cells (about once per cell, however often
// lists repeat it).
struct HiveReadWork {
    std::size_t key_paths_built = 0;
    std::size_t name_bytes_copied = 0;
};
HiveReadWork hive_read_work();
