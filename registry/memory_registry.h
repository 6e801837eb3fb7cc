// An in-memory registry tree that answers the ANSI registry calls as the system does.
//
// Keys and values are stored in one of two forms. In the ANSI form names and string data are
// the code page's own bytes and come back unchanged (the unit tests' stand-in stores arbitrary
// bytes this way). In the UTF-16 form, which hives and .reg exports fill, names and string data
// are UTF-16 and every call converts them to the ANSI code page as the system does: characters
// the code page lacks become '?', sizes are counted in converted bytes, and a name asked for by
// its ANSI form is converted back before it is looked up, so a name that did not survive the
// conversion cannot be opened.
//
// In both forms key names are unique without regard to letter case, subkeys are kept and
// enumerated in the order of their upper-cased names, values in the order they were added, and
// value data is kept exactly as given, without any terminator added. Handles are not kept here:
// each implementation of the platform interface keeps its own over these keys.
#pragma once

#include "scanframe/platform.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct MemoryValue {
    std::string name; // stored form; empty for the default value
    unsigned long type;
    std::string data;
};

struct MemoryKey {
    std::string name; // stored form
    MemoryKey *parent = nullptr;
    std::vector<std::shared_ptr<MemoryKey>> children; // sorted by upper-cased name
    std::vector<MemoryValue> values;                  // in the order added
    // A deleted key stays alive while handles to it are open; calls on it then fail.
    bool deleted = false;
    // Which of the caller's sources hold this key, by number, for reporting where a finding came
    // from. Kept as 16-bit units of a string, whose short form needs no allocation: a tree of a
    // million keys, each from one or two sources, spares as many allocations.
    std::u16string sources;
    // When the key was last written, as a FILETIME (100 ns units since 1601, UTC); 0 when its
    // source keeps no times (.reg exports).
    unsigned long long written = 0;
    // The subkey last enumerated: a walk opens the name it has just enumerated.
    std::size_t last_enumerated = 0;
};

struct MemoryRegistry {
    // 0 for the ANSI form; otherwise the ANSI code page the UTF-16 form is converted to.
    unsigned code_page = 0;
    std::shared_ptr<MemoryKey> root = std::make_shared<MemoryKey>();
};

// --- Building. Names are in the registry's stored form (UTF-16LE bytes in the UTF-16 form). ---

// An empty tree in the UTF-16 form, for reading and merging sources. Names compare by their
// upper-cased UTF-16 units, which no code page changes; the code page set here is never used.
MemoryRegistry memory_utf16_tree();

// The child of `parent` with this name, without regard to case; NULL when there is none.
MemoryKey *memory_child(const MemoryRegistry &registry, MemoryKey &parent, const std::string &name);
const MemoryKey *memory_child(const MemoryRegistry &registry, const MemoryKey &parent,
                              const std::string &name);
// The child of that name, made when missing; children that arrive in sorted order are appended
// in constant time.
MemoryKey &memory_add_child(const MemoryRegistry &registry, MemoryKey &parent,
                            const std::string &name);
// Sets the value of that name (without regard to case), replacing its type and data when it is
// there already and adding it at the end otherwise.
void memory_set_value(const MemoryRegistry &registry, MemoryKey &key, const std::string &name,
                      unsigned long type, std::string data);
// Removes the value of that name, if any.
void memory_delete_value(const MemoryRegistry &registry, MemoryKey &key, const std::string &name);
// Removes the child of that name and everything below it; handles open on them then answer
// REG_ERROR_KEY_DELETED.
void memory_delete_child(const MemoryRegistry &registry, MemoryKey &parent,
                         const std::string &name);
// Orders two names as the registry orders subkeys: by their upper-cased forms.
int memory_compare_names(const MemoryRegistry &registry, std::string_view a, std::string_view b);

// --- The ANSI calls, on keys rather than handles. ---

// RegOpenKeyExA's look-up: the key at the ANSI path `name` (parts joined by '\') below `from`.
// An empty path is `from` itself. Returns REG_ERROR_FILE_NOT_FOUND when there is none.
RegStatus memory_open(const MemoryRegistry &registry, const std::shared_ptr<MemoryKey> &from,
                      const char *name, std::shared_ptr<MemoryKey> &found);
// RegEnumKeyExA without class or time.
RegStatus memory_enum_key(const MemoryRegistry &registry, MemoryKey &key, unsigned long index,
                          char *name, unsigned long *name_chars);
// RegEnumValueA: `data` may be NULL, and then `data_bytes` may be NULL too.
RegStatus memory_enum_value(const MemoryRegistry &registry, MemoryKey &key, unsigned long index,
                            char *name, unsigned long *name_chars, unsigned long *type,
                            unsigned char *data, unsigned long *data_bytes);
