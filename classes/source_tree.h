// One side's classes as a source holds them: keys with UTF-16 names, values with raw data.
//
// .reg exports and the live registry are read into this neutral tree first, which the merge then
// moves into the registry the scan walks (hives, the largest sources, are read into the registry's
// own keys directly). Names keep the letter case and the order the source stored them in; nothing
// is converted to a code page here.
#pragma once

#include <string>
#include <vector>

struct SourceValue {
    std::u16string name; // empty for the key's default value
    unsigned long type;  // REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4, ...
    std::string data;    // the data bytes exactly as stored (strings as UTF-16LE)
};

struct SourceKey {
    std::u16string name;
    std::vector<SourceValue> values; // in stored order
    std::vector<SourceKey> children; // in stored order
    unsigned long long written = 0;  // the last write time as a FILETIME; 0 when not known
};

// Which half of HKEY_CLASSES_ROOT a source's keys belong to.
enum class ClassesSide { Machine, User };
