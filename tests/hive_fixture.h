// Test hives made with libhivex's write API from tests/data/minimal.hive; helpers to damage them.
//
//     std::string image = make_hive({
//         {"Classes\\CLSID\\{...}", {{"", REG_SZ, reg_sz_data(u"name")}}},
//         {"Classes\\CLSID\\{...}\\InprocServer32", {{"", REG_EXPAND_SZ, reg_sz_data(u"x.dll")}}},
//     });
//
// Everything happens in memory (anonymous in-memory files); nothing is written to disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct FixtureValue {
    std::string name;   // UTF-8; empty for the key's default value
    unsigned long type; // stored as given (1 REG_SZ, 2 REG_EXPAND_SZ, 3 REG_BINARY, 4 REG_DWORD...)
    std::string data;   // stored byte for byte
};

struct FixtureKey {
    // Backslash-separated names from the root key down (UTF-8); missing parents are made. A key
    // may be listed again later to add subkeys or replace its values.
    std::string path;
    // Replace the key's values when not empty. Data longer than 16344 bytes is kept in big-data
    // ('db') cells over 16344-byte segments, as the system stores it.
    std::vector<FixtureValue> values;
};

// The image of a hive holding `keys` under the root of minimal.hive, in the order libhivex keeps
// subkeys (sorted without case). Empty, with a message on stderr, if libhivex refuses something.
std::string make_hive(const std::vector<FixtureKey> &keys);

// UTF-16LE bytes of `text`, without (utf16le_data) and with (reg_sz_data) a terminating NUL.
std::string utf16le_data(const std::u16string &text);
std::string reg_sz_data(const std::u16string &text);

// File offset of the record (the 'nk' or 'vk' signature, 4 bytes into its cell) of the key at
// `path` ("" for the root) or of its value `value_name`; 0 when there is none.
std::size_t find_key_record(const std::string &image, const std::string &path);
std::size_t find_value_record(const std::string &image, const std::string &path,
                              const std::string &value_name);

// Field offsets within a key record, and the offset that hive offsets are counted from.
constexpr std::size_t NK_SUBKEY_COUNT = 20;
constexpr std::size_t NK_SUBKEY_LIST = 28;
constexpr std::size_t NK_VALUE_COUNT = 36;
constexpr std::size_t NK_VALUE_LIST = 40;
constexpr std::size_t HIVE_BINS_START = 4096;

std::uint32_t image_u32(const std::string &image, std::size_t offset);
void set_image_u32(std::string &image, std::size_t offset, std::uint32_t value);
// Makes the base block's checksum right again after a change to its first 508 bytes.
void fix_header_checksum(std::string &image);
// Appends an allocated cell holding `payload` in a hive bin of its own at the end of the image,
// with the header's bins size and checksum made right; returns the cell's offset from the first
// hive bin (as lists and records store offsets).
std::uint32_t append_hive_cell(std::string &image, const std::string &payload);

// Deletes the key at `path` and its subtree the way Windows leaves a deletion: leaf first, each
// key's cells (record, value list, values, data, subkey list) marked free with their bytes kept;
// the entry taken out of the parent's subkey list by moving the later ones down (the old last
// entry stays in the list's slack); the parent's count lowered and its time, and that of each
// key that had subkeys, set to `when`; then adjacent free cells of each bin merged into one.
void delete_key_as_windows(std::string &image, const std::string &path, unsigned long long when);
// Sets the last-written time (FILETIME) of the key at `path`.
void set_key_written(std::string &image, const std::string &path, unsigned long long when);

// make_hive with every key of `keys`, and each key on their paths, written at `when`.
std::string make_timed_hive(const std::vector<FixtureKey> &keys, unsigned long long when);
// Merges each run of adjacent free cells in every hive bin into one free cell.
void merge_free_cells(std::string &image);
