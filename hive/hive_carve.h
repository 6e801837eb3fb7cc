// Recovering deleted keys, with their values, from the space of a hive that no live key uses.
//
// When Windows deletes a key it marks the key's cells free and leaves their bytes until the space
// is allocated again; adjacent free cells are merged, and a later allocation can split them. The
// carver first walks the live tree from the root and marks every byte a live record uses; every
// other 8-byte boundary of the hive bins (free cells, allocated cells nothing references, the
// slack after a live record) is then looked at for a key record. A record that passes the
// plausibility checks (name, counts, time, whole and untouched by live data) is a deleted key;
// its path comes from its parent offsets, up through deleted keys to a live one. A key whose
// chain breaks (a parent cell reused, or no key record) is an orphan: counted, never placed. A
// value whose record or data now lies in bytes a live key uses is unrecoverable: its data is
// never taken from the live key. Bytes past the hive bins' size are not read. Time and memory
// grow with the image's size alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct CarvedValue {
    std::string name;        // stored name as UTF-16LE bytes; empty for the default value
    bool name_known = true;  // false when even the value's record is gone
    bool recoverable = true; // false: its record or data now lies where a live key's is
    std::uint32_t type = 0;
    std::string data;
};

struct CarvedKey {
    // Names from the hive's root key down to this key (the root's own name left out), UTF-16LE.
    std::vector<std::string> path;
    unsigned long long written = 0; // the key's last write time (FILETIME): not its deletion
    std::vector<CarvedValue> values;
    std::size_t offset = 0;        // file offset of the key's cell
    std::size_t parent_offset = 0; // file offset of its parent's cell
    bool parent_deleted = false;   // its parent is a deleted key too
};

struct HiveCarving {
    std::vector<CarvedKey> keys; // the deleted keys `wanted` took, in file order
    std::size_t deleted = 0;     // deleted keys whose path reaches the root, wanted or not
    std::size_t orphans = 0;     // deleted keys whose parent chain breaks
    // Set when paths and values outgrew what the image's size allows (shared cells and lists,
    // as only a made-up hive has them): the carving stopped there, with what it had found.
    bool cut_short = false;
};

// Names of a deleted key's path that `wanted` is shown.
constexpr std::size_t CARVE_WANTED_PREFIX = 5;

// Carves the hive `image` (a whole hive file or a recovered image). `wanted` is asked with the
// first CARVE_WANTED_PREFIX names of each deleted key's path (all of them when it is shorter);
// only the keys it takes get their whole path and their values read. An image whose base block
// or root cannot be read gives nothing.
HiveCarving carve_deleted_keys(std::string_view image,
                               const std::function<bool(const std::vector<std::string> &)> &wanted);

// What carving on this thread has done so far, for tests that count work: byte positions looked
// at for a key record, and parent links followed.
struct HiveCarveWork {
    std::size_t positions = 0;
    std::size_t parent_steps = 0;
};
HiveCarveWork hive_carve_work();
