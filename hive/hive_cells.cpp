// Reading the cells and records of a hive's bins, every field checked against its cell.
#include "hive/hive_cells.h"

namespace {

// Within a key record.
constexpr std::size_t nk_flags = 2;
constexpr std::size_t nk_written = 4;
constexpr std::size_t nk_parent = 16;
constexpr std::size_t nk_subkey_count = 20;
constexpr std::size_t nk_subkey_list = 28;
constexpr std::size_t nk_value_count = 36;
constexpr std::size_t nk_value_list = 40;
constexpr std::size_t nk_name_length = 72;
constexpr unsigned nk_latin1_name = 0x20;

// Within a value record.
constexpr std::size_t vk_name_length = 2;
constexpr std::size_t vk_data_size = 4;
constexpr std::size_t vk_data_offset = 8;
constexpr std::size_t vk_type = 12;
constexpr std::size_t vk_flags = 16;
constexpr unsigned vk_latin1_name = 0x01;
constexpr std::uint32_t vk_data_in_record = 0x80000000u;

bool has_signature(std::string_view image, const HiveCell &cell, const char *signature) {
    return cell.length >= 2 && image[cell.record] == signature[0] &&
           image[cell.record + 1] == signature[1];
}

} // namespace

std::uint16_t hive_u16(std::string_view image, std::size_t at) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(image.data()) + at;
    return std::uint16_t(bytes[0] | bytes[1] << 8);
}

std::uint32_t hive_u32(std::string_view image, std::size_t at) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(image.data()) + at;
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

std::uint64_t hive_u64(std::string_view image, std::size_t at) {
    return hive_u32(image, at) | std::uint64_t(hive_u32(image, at + 4)) << 32;
}

bool hive_cell_at(std::string_view image, std::size_t offset, HiveCell &cell) {
    if (offset >= image.size() || image.size() - offset < 8)
        return false;
    std::int32_t size = std::int32_t(hive_u32(image, offset));
    std::int64_t magnitude = size < 0 ? -std::int64_t(size) : std::int64_t(size);
    if (magnitude < 8 || std::uint64_t(magnitude) > image.size() - offset)
        return false;
    cell.offset = offset;
    cell.record = offset + 4;
    cell.length = std::size_t(magnitude) - 4;
    cell.allocated = size < 0;
    return true;
}

std::size_t hive_file_offset(std::uint32_t stored) {
    return stored == HIVE_NO_CELL ? 0 : HIVE_BINS_START + std::size_t(stored);
}

bool parse_key_record(std::string_view image, const HiveCell &cell, KeyRecord &key) {
    if (cell.length < KEY_RECORD_FIXED || !has_signature(image, cell, "nk"))
        return false;
    std::size_t at = cell.record;
    key.flags = hive_u16(image, at + nk_flags);
    key.written = hive_u64(image, at + nk_written);
    key.parent = hive_u32(image, at + nk_parent);
    key.subkey_count = hive_u32(image, at + nk_subkey_count);
    key.subkey_list = hive_u32(image, at + nk_subkey_list);
    key.value_count = hive_u32(image, at + nk_value_count);
    key.value_list = hive_u32(image, at + nk_value_list);
    key.name_at = at + KEY_RECORD_FIXED;
    key.name_length = hive_u16(image, at + nk_name_length);
    key.latin1_name = (key.flags & nk_latin1_name) != 0;
    return key.name_length <= cell.length - KEY_RECORD_FIXED &&
           (key.latin1_name || key.name_length % 2 == 0);
}

bool parse_value_record(std::string_view image, const HiveCell &cell, ValueRecord &value) {
    if (cell.length < VALUE_RECORD_FIXED || !has_signature(image, cell, "vk"))
        return false;
    std::size_t at = cell.record;
    std::uint32_t size = hive_u32(image, at + vk_data_size);
    value.data_in_record = (size & vk_data_in_record) != 0;
    value.data_size = size & ~vk_data_in_record;
    value.data_field_at = at + vk_data_offset;
    value.data_offset = hive_u32(image, at + vk_data_offset);
    value.type = hive_u32(image, at + vk_type);
    value.name_at = at + VALUE_RECORD_FIXED;
    value.name_length = hive_u16(image, at + vk_name_length);
    value.latin1_name = (hive_u16(image, at + vk_flags) & vk_latin1_name) != 0;
    return value.name_length <= cell.length - VALUE_RECORD_FIXED &&
           (value.latin1_name || value.name_length % 2 == 0) &&
           (!value.data_in_record || value.data_size <= 4);
}

bool parse_list_record(std::string_view image, const HiveCell &cell, ListRecord &list) {
    if (cell.length < 4)
        return false;
    bool hashed = has_signature(image, cell, "lf") || has_signature(image, cell, "lh");
    bool plain = has_signature(image, cell, "li");
    list.index = has_signature(image, cell, "ri");
    if (!hashed && !plain && !list.index)
        return false;
    list.count = hive_u16(image, cell.record + 2);
    list.entry_size = hashed ? 8 : 4;
    list.entries_at = cell.record + 4;
    return list.count <= (cell.length - 4) / list.entry_size;
}

bool parse_big_data_record(std::string_view image, const HiveCell &cell, BigDataRecord &big) {
    if (cell.length < 8 || !has_signature(image, cell, "db"))
        return false;
    big.count = hive_u16(image, cell.record + 2);
    big.segments = hive_u32(image, cell.record + 4);
    return true;
}

std::string record_name(std::string_view image, std::size_t at, std::size_t length, bool latin1) {
    if (!latin1)
        return std::string(image.substr(at, length));
    std::string name(2 * length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        name[2 * i] = image[at + i];
    return name;
}
