// Class keys recovered from a hive's free space, and the sides as they were with them in place.
//
// A registration is the top deleted key at or below a class key (the class key itself, or a
// subkey of a live class such as its InprocServer32) with the deleted keys found beneath it. To
// be judged like a live one, it is put back into a copy of its side (its live twin, if any, set
// aside there), which the merge then joins with the other side as for the live view. Copies share
// every key they do not change with the live sides.
#pragma once

#include "classes/classes_merge.h"

#include <string>
#include <vector>

// One recovered class as the deleted rule and the output tell it.
struct RecoveredClass {
    bool wow = false; // in Wow6432Node\CLSID (the 32-bit view)
    std::string key;  // the class key's name, stored form
    ClassesSide side = ClassesSide::User;
    bool class_deleted = false; // the class key itself was deleted
    std::string deleted_subkey; // else the subkey of the live class that was, stored form
    CarvedImage image = CarvedImage::Primary;
    unsigned long long written = 0; // the top deleted key's last write: not its deletion
    std::vector<std::string> unrecoverable;
};

// The sides with some registrations put back, and those registrations' classes.
struct RecoveredSides {
    ClassesSides sides;
    std::vector<RecoveredClass> classes;
};

// Most copies of the sides made: each holds at most one registration of a class on each side.
constexpr std::size_t MAX_RECOVERED_COPIES = 8;

// Copies of `live` with its deleted registrations in place: as few as hold them all, at most
// MAX_RECOVERED_COPIES (the registrations left over are told in `notes`). Empty when `live`
// has none.
std::vector<RecoveredSides> recover_deleted_classes(const ClassesSides &live,
                                                    std::vector<std::string> &notes);
