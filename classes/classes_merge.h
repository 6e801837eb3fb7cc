// The classes of all sources put together: per side first, then as HKEY_CLASSES_ROOT shows them.
#pragma once

#include "classes/deleted_keys.h"
#include "classes/source_tree.h"
#include "registry/memory_registry.h"

#include <string>
#include <vector>

struct ScanSource {
    std::string file; // as named on the command line
    ClassesSide side;
    std::string hive_state; // for a hive: "clean", "recovered" or "not recovered"
    std::string hive_note;  // for a hive: what its logs did, as told on standard error
};

// The machine's and the user's classes, each the union of the sources of that side.
struct ClassesSides {
    std::vector<ScanSource> sources; // a key's `sources` index this list
    MemoryRegistry machine, user;    // the UTF-16 form; their roots are the classes roots
    bool has_machine = false, has_user = false;
    // Class keys carved from the hives' free space, judged apart from the live ones.
    std::vector<DeletedRegistration> deleted;
};

// Adds one source's classes root, a tree in the UTF-16 form, to its side. The first source of a
// side becomes the side's tree itself, without a copy (a tree may be the first source of several
// scans, numbered alike in each, as the system scan does with the machine's hive); later sources
// of that side are merged into it, giving up their data. Sources of one side must agree: a value
// that an earlier source of the same side holds with another type or other data is an error,
// described in `error` with both files and the key. Keys nested deeper than the registry allows
// (512 levels) are an error too.
bool add_classes_source(ClassesSides &sides, const std::string &file, ClassesSide side,
                        std::shared_ptr<MemoryKey> classes_root, std::string &error);
// The same for a source tree, as .reg exports and the live registry are read.
bool add_classes_source(ClassesSides &sides, const std::string &file, ClassesSide side,
                        SourceKey classes_root, std::string &error);

// Builds the merged view into `view` (whose code page the caller sets); with one side alone, the
// view is that side's tree itself, without a copy. Otherwise, at every level the subkeys are the
// case-insensitive union of both sides; in a key that both sides hold, the values are the union in
// the order of their upper-cased names, a value of both sides taken from the user. A key that only
// one side holds is that side's own key with its whole subtree, shared with the side rather than
// copied (its values in stored order; its parent is in the side's tree). Each key lists the
// sources that hold it, in the order they were added. A key of both sides has the write time of
// the side whose default value it shows; of two sources of one side, the later time stands.
void build_classes_view(const ClassesSides &sides, MemoryRegistry &view);

// Where a key came from: "machine", "user" or "both".
const char *side_name_of(const ClassesSides &sides, const MemoryKey &key);
