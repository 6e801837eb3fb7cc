// Deleted class keys as carved from a hive, each with the deleted keys found beneath it.
#pragma once

#include "classes/source_tree.h"
#include "registry/memory_registry.h"

#include <string>
#include <vector>

// A deleted key with the deleted keys found beneath it.
struct DeletedKey {
    std::string name; // stored form (UTF-16LE)
    unsigned long long written = 0;
    std::vector<MemoryValue> values; // those recovered, in stored order
    // Values whose record or data a live key now uses, by name in UTF-8 ("" for the default
    // value, "(unknown)" when even the name is gone).
    std::vector<std::string> unrecoverable;
    std::vector<DeletedKey> children;
};

// Which image of a hive a registration was carved from.
enum class CarvedImage { Primary, Recovered, Both };
const char *carved_image_name(CarvedImage image); // "primary", "recovered", "primary and recovered"

struct DeletedRegistration {
    // Names from the classes root down to the live key the registration was deleted from:
    // "CLSID" or "Wow6432Node", "CLSID", then, for a subkey of a live class, the class key and on.
    std::vector<std::string> parent_path;
    DeletedKey key;
    ClassesSide side = ClassesSide::User;
    unsigned short source = 0; // the index of its hive in ClassesSides::sources
    CarvedImage image = CarvedImage::Primary;
};
