// The cells of a hive's bins and the records they hold (keys, values, subkey lists, big data),
// each read bounds-checked against its own cell: the one parser behind reading, replay and carving.
//
// Offsets stored in records are relative to the first hive bin, at file offset 4096; the
// functions here take and give file offsets (the stored offset plus 4096) unless they say not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Where the hive bins start in the file: right after the base block.
constexpr std::size_t HIVE_BINS_START = 4096;
// A stored offset that points nowhere.
constexpr std::uint32_t HIVE_NO_CELL = 0xFFFFFFFF;
// Value data longer than this is kept in big-data ('db') segments in hives of version 1.4 on.
constexpr std::size_t HIVE_BIG_DATA_THRESHOLD = 16344;

// Little-endian reads; the caller has checked that the bytes are there.
std::uint16_t hive_u16(std::string_view image, std::size_t at);
std::uint32_t hive_u32(std::string_view image, std::size_t at);
std::uint64_t hive_u64(std::string_view image, std::size_t at);

// A cell: its size field says allocated (negative) or free (positive), and counts itself.
struct HiveCell {
    std::size_t offset = 0; // file offset of the size field
    std::size_t record = 0; // file offset of the record, 4 bytes on
    std::size_t length = 0; // bytes of the record's room: the cell's size less the size field
    bool allocated = false;
};

// The cell at file offset `offset` when its size is a sane multiple of 8 and the whole cell lies
// within `image` (the caller passes the image cut to the hive bins).
bool hive_cell_at(std::string_view image, std::size_t offset, HiveCell &cell);

// The file offset a stored offset names, or 0 when it names none (HIVE_NO_CELL, or past what a
// size_t holds).
std::size_t hive_file_offset(std::uint32_t stored);

// A key ('nk') record's fixed part and name.
struct KeyRecord {
    unsigned flags = 0;
    unsigned long long written = 0; // FILETIME
    std::uint32_t parent = HIVE_NO_CELL;
    std::uint32_t subkey_count = 0;
    std::uint32_t subkey_list = HIVE_NO_CELL;
    std::uint32_t value_count = 0;
    std::uint32_t value_list = HIVE_NO_CELL;
    std::size_t name_at = 0;     // file offset of the stored name
    std::size_t name_length = 0; // stored bytes
    bool latin1_name = false;    // one byte a character, else UTF-16LE
};
constexpr unsigned KEY_ROOT_FLAG = 0x04;
// Bytes of a key record before its name.
constexpr std::size_t KEY_RECORD_FIXED = 76;

// The key record in `cell` when it has the signature and its name fits the cell.
bool parse_key_record(std::string_view image, const HiveCell &cell, KeyRecord &key);

// A value ('vk') record's fixed part and name.
struct ValueRecord {
    std::uint32_t data_size = 0;   // without the in-record bit
    bool data_in_record = false;   // the data (at most 4 bytes) sits in the data offset field
    std::size_t data_field_at = 0; // file offset of the data offset field
    std::uint32_t data_offset = HIVE_NO_CELL;
    std::uint32_t type = 0;
    std::size_t name_at = 0;
    std::size_t name_length = 0;
    bool latin1_name = false;
};
constexpr std::size_t VALUE_RECORD_FIXED = 20;

bool parse_value_record(std::string_view image, const HiveCell &cell, ValueRecord &value);

// A subkey list: 'lf' and 'lh' (offset and hash), 'li' (offsets), or an 'ri' index of lists.
struct ListRecord {
    bool index = false; // 'ri': the entries are lists
    std::size_t count = 0;
    std::size_t entries_at = 0; // file offset of the first entry
    std::size_t entry_size = 0; // bytes between entries; the stored offset comes first
};

// The subkey list in `cell` when it has a list signature and its entries fit the cell.
bool parse_list_record(std::string_view image, const HiveCell &cell, ListRecord &list);

// A big-data ('db') record: `count` segments whose offsets are in the cell at `segments`.
struct BigDataRecord {
    std::size_t count = 0;
    std::uint32_t segments = HIVE_NO_CELL;
};
bool parse_big_data_record(std::string_view image, const HiveCell &cell, BigDataRecord &big);

// A stored name as UTF-16LE bytes: a Latin-1 name widened, any other copied as it is.
std::string record_name(std::string_view image, std::size_t at, std::size_t length, bool latin1);
