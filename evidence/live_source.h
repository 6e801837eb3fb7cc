// Reading the running system's classes through the wide registry calls, for clsid-scan --live.
//
// Each side is read from its own key, HKEY_LOCAL_MACHINE\Software\Classes for the machine and
// HKEY_CURRENT_USER\Software\Classes for the user, never from the merged HKEY_CLASSES_ROOT: the
// scan merges the two itself, as it does for files. Every key is opened for reading only, in
// the 64-bit registry view (so the i686 build reads what the x86_64 build reads), and closed as
// soon as its subtree is read. Names and data come back as stored, in UTF-16.
//
// What counts as a failure: a key that does not exist where an optional key may be missing
// (Software\Classes, CLSID, Wow6432Node\CLSID) is left out; a key that disappears while it is
// read (its open answers FILE_NOT_FOUND after its parent listed it, or a call answers
// KEY_DELETED) is left out with a note, as a later look would not find it either, and the
// listing index it had is read again, since the next subkey has moved down to it. Any other
// failing call (access denied, out of memory, ...) is an error naming the key, since a partial
// scan would hide classes silently. A failing close is ignored: what was read is complete. Like
// any read of a registry that others change, a key deleted before the current index while its
// parent is listed shifts the listing under the read, and the subkey after it can be missed.
#pragma once

#include "classes/classes_merge.h"
#include "classes/source_tree.h"
#include "scanframe/platform.h"

#include <string>
#include <vector>

// The source names of the two sides, as the reports name them.
extern const char LIVE_MACHINE_SOURCE[]; // "HKLM\Software\Classes"
extern const char LIVE_USER_SOURCE[];    // "HKCU\Software\Classes"

// The access mask of every key the live source opens: KEY_QUERY_VALUE, KEY_ENUMERATE_SUB_KEYS
// and KEY_WOW64_64KEY.
constexpr unsigned long LIVE_KEY_ACCESS =
    ACCESS_QUERY_VALUE | ACCESS_ENUMERATE_SUB_KEYS | ACCESS_WOW64_64KEY;

// Reads CLSID and Wow6432Node\CLSID below `root`\Software\Classes into `classes`, shaped as the
// hive reader shapes a classes root: an empty name and at most two children, CLSID with its
// whole subtree and Wow6432Node holding only its CLSID. `root_name` ("HKLM" or "HKCU") starts
// the key paths of messages. `present` is false when there is no Software\Classes key. Notes
// for standard error go to `notes`. Returns false with `error` naming the key on failure.
bool read_live_side(WideRegKey root, const char *root_name, SourceKey &classes, bool &present,
                    std::vector<std::string> &notes, std::string &error);

// Reads both sides and adds each that is present to `sides`, as the sources LIVE_MACHINE_SOURCE
// and LIVE_USER_SOURCE. Returns false with `error` set when a side cannot be read.
bool add_live_sources(ClassesSides &sides, std::vector<std::string> &notes, std::string &error);
