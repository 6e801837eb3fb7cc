// Carving deleted keys out of the hive bins' space that no live key uses (see hive_carve.h).
#include "hive/hive_carve.h"

#include "hive/hive_cells.h"

#include <cstdint>
#include <unordered_map>

namespace {

constexpr std::size_t granule = 8; // cells start on 8-byte boundaries
constexpr std::size_t bins_size_field = 40;
constexpr std::size_t root_cell_field = 36;
constexpr std::size_t bin_header = 32;
constexpr std::size_t page = 4096;
constexpr std::size_t nk_security = 44;
constexpr std::size_t nk_class_name = 48;
// A plausible key record's limits: the registry's own for names, and sane counts and times.
constexpr std::size_t most_name_characters = 1024;
constexpr std::uint32_t most_entries = 65535;
constexpr unsigned long long earliest_time = 116444736000000000ULL; // 1970-01-01
constexpr unsigned long long latest_time = 157469184000000000ULL;   // 2100-01-01
constexpr std::size_t most_depth = 512;

thread_local HiveCarveWork carve_work;

// One bit per 8-byte granule of the image.
struct Granules {
    std::vector<std::uint64_t> words;
    explicit Granules(std::size_t bytes) : words(bytes / granule / 64 + 1) {}
    bool test(std::size_t g) const { return (words[g / 64] >> (g % 64)) & 1; }
    void set(std::size_t g) { words[g / 64] |= std::uint64_t(1) << (g % 64); }
    // Sets granules [first, last).
    void set_range(std::size_t first, std::size_t last) {
        for (; first < last && first % 64 != 0; ++first)
            set(first);
        for (; first + 64 <= last; first += 64)
            words[first / 64] = ~std::uint64_t(0);
        for (; first < last; ++first)
            set(first);
    }
    bool any_in(std::size_t first, std::size_t last) const {
        for (; first < last; ++first)
            if (test(first))
                return true;
        return false;
    }
};

// A key on some path: its parent's node (-1 for a child of the root) and its name.
struct PathNode {
    int parent;
    std::string name;
    std::size_t depth; // names from the root's child down to this key
};
constexpr int root_node = -1;
constexpr int broken_chain = -2;

struct Carver {
    std::string_view image; // cut to the hive bins
    Granules used;          // bytes a live record uses
    Granules live_keys;     // cells that hold a live key
    std::size_t root = 0;
    std::size_t entries_left;
    std::vector<PathNode> nodes{};
    std::unordered_map<std::size_t, int> node_of{};
    std::size_t names_left; // path names built, bounded by the image's size
    // Bytes of paths and values copied out, bounded by a multiple of the image's size.
    std::size_t copied_left = 0;
};

// Marks `bytes` from the cell at `offset` (its size field included) as a live record's.
void mark_used(Carver &carver, std::size_t offset, std::size_t bytes) {
    std::size_t end = std::min(offset + bytes, carver.image.size());
    carver.used.set_range(offset / granule, (end + granule - 1) / granule);
}

void mark_whole_cell(Carver &carver, std::size_t offset) {
    HiveCell cell;
    if (offset != 0 && hive_cell_at(carver.image, offset, cell))
        mark_used(carver, offset, cell.length + 4);
}

bool take_entries(Carver &carver, std::size_t count) {
    if (count > carver.entries_left)
        return false;
    carver.entries_left -= count;
    return true;
}

// Marks a live value's record and data.
void mark_value(Carver &carver, std::size_t offset) {
    HiveCell cell;
    ValueRecord value;
    if (offset == 0 || !hive_cell_at(carver.image, offset, cell) ||
        !parse_value_record(carver.image, cell, value)) {
        mark_whole_cell(carver, offset);
        return;
    }
    mark_used(carver, offset, 4 + VALUE_RECORD_FIXED + value.name_length);
    if (value.data_in_record || value.data_size == 0)
        return;
    std::size_t data = hive_file_offset(value.data_offset);
    HiveCell data_cell;
    BigDataRecord big;
    if (data == 0 || !hive_cell_at(carver.image, data, data_cell))
        return;
    if (value.data_size > HIVE_BIG_DATA_THRESHOLD &&
        parse_big_data_record(carver.image, data_cell, big)) {
        mark_used(carver, data, 12);
        std::size_t list = hive_file_offset(big.segments);
        HiveCell list_cell;
        if (list == 0 || !hive_cell_at(carver.image, list, list_cell) ||
            big.count > list_cell.length / 4 || !take_entries(carver, big.count))
            return;
        mark_used(carver, list, 4 + 4 * big.count);
        for (std::size_t i = 0; i < big.count; ++i)
            mark_whole_cell(carver,
                            hive_file_offset(hive_u32(carver.image, list_cell.record + 4 * i)));
        return;
    }
    mark_used(carver, data, 4 + std::min<std::size_t>(value.data_size, data_cell.length));
}

// Marks a subkey list and queues the keys it lists.
void mark_subkey_list(Carver &carver, std::size_t offset, bool index_allowed,
                      std::vector<std::size_t> &pending) {
    HiveCell cell;
    ListRecord list;
    if (offset == 0 || !hive_cell_at(carver.image, offset, cell) ||
        !parse_list_record(carver.image, cell, list) || (list.index && !index_allowed) ||
        !take_entries(carver, list.count))
        return;
    mark_used(carver, offset, 4 + 4 + list.count * list.entry_size);
    for (std::size_t i = 0; i < list.count; ++i) {
        std::size_t entry =
            hive_file_offset(hive_u32(carver.image, list.entries_at + i * list.entry_size));
        if (list.index)
            mark_subkey_list(carver, entry, false, pending);
        else if (entry != 0)
            pending.push_back(entry);
    }
}

// Walks the live tree from the root, marking what its records use.
void mark_live_tree(Carver &carver) {
    std::vector<std::size_t> pending{carver.root};
    while (!pending.empty()) {
        std::size_t offset = pending.back();
        pending.pop_back();
        HiveCell cell;
        KeyRecord key;
        if (offset % granule != 0 || !hive_cell_at(carver.image, offset, cell) ||
            !parse_key_record(carver.image, cell, key) || carver.live_keys.test(offset / granule))
            continue;
        carver.live_keys.set(offset / granule);
        mark_used(carver, offset, 4 + KEY_RECORD_FIXED + key.name_length);
        mark_whole_cell(carver,
                        hive_file_offset(hive_u32(carver.image, cell.record + nk_security)));
        mark_whole_cell(carver,
                        hive_file_offset(hive_u32(carver.image, cell.record + nk_class_name)));
        if (key.subkey_count != 0)
            mark_subkey_list(carver, hive_file_offset(key.subkey_list), true, pending);
        if (key.value_count == 0)
            continue;
        std::size_t list = hive_file_offset(key.value_list);
        HiveCell list_cell;
        if (list == 0 || !hive_cell_at(carver.image, list, list_cell) ||
            key.value_count > list_cell.length / 4 || !take_entries(carver, key.value_count))
            continue;
        mark_used(carver, list, 4 + 4 * std::size_t(key.value_count));
        for (std::size_t i = 0; i < key.value_count; ++i)
            mark_value(carver, hive_file_offset(hive_u32(carver.image, list_cell.record + 4 * i)));
    }
}

// Whether a stored name could be a key's: not empty, at most 1,024 characters, no backslash,
// no control character, and (UTF-16) no unpaired surrogate.
bool plausible_name(std::string_view image, const KeyRecord &key) {
    std::size_t characters = key.latin1_name ? key.name_length : key.name_length / 2;
    if (characters == 0 || characters > most_name_characters)
        return false;
    bool high_before = false;
    for (std::size_t i = 0; i < characters; ++i) {
        unsigned unit = key.latin1_name ? static_cast<unsigned char>(image[key.name_at + i])
                                        : hive_u16(image, key.name_at + 2 * i);
        bool high = unit >= 0xD800 && unit <= 0xDBFF, low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (unit < 0x20 || unit == '\\' || unit == 0x7F || (low && !high_before) ||
            (high_before && !low))
            return false;
        high_before = high;
    }
    return !high_before;
}

bool is_live_key(const Carver &carver, std::size_t offset) {
    return offset % granule == 0 && offset < carver.image.size() &&
           carver.live_keys.test(offset / granule);
}

// A deleted key's record at `offset`: whole, untouched by live records, and plausible.
bool deleted_key_at(const Carver &carver, std::size_t offset, KeyRecord &key) {
    HiveCell cell;
    if (offset % granule != 0 || !hive_cell_at(carver.image, offset, cell) ||
        carver.live_keys.test(offset / granule) || !parse_key_record(carver.image, cell, key))
        return false;
    std::size_t end = offset + 4 + KEY_RECORD_FIXED + key.name_length;
    return (key.flags & KEY_ROOT_FLAG) == 0 && key.subkey_count <= most_entries &&
           key.value_count <= most_entries && key.written >= earliest_time &&
           key.written < latest_time &&
           !carver.used.any_in(offset / granule, (end + granule - 1) / granule) &&
           plausible_name(carver.image, key);
}

// The path node of the key at `offset` (a live key, or a deleted one when `deleted`), made with
// those of its parents; broken_chain when its parents do not lead to a live key.
int resolve_node(Carver &carver, std::size_t offset) {
    std::vector<std::pair<std::size_t, std::string>> chain;
    int top = broken_chain;
    for (std::size_t at = offset;;) {
        if (at == carver.root) {
            top = root_node;
            break;
        }
        auto known = carver.node_of.find(at);
        if (known != carver.node_of.end()) {
            top = known->second;
            break;
        }
        ++carve_work.parent_steps;
        HiveCell cell;
        KeyRecord key;
        bool live = is_live_key(carver, at);
        bool readable =
            live ? hive_cell_at(carver.image, at, cell) && parse_key_record(carver.image, cell, key)
                 : deleted_key_at(carver, at, key);
        if (!readable || chain.size() >= most_depth || carver.names_left == 0)
            break;
        --carver.names_left;
        chain.emplace_back(
            at, record_name(carver.image, key.name_at, key.name_length, key.latin1_name));
        at = hive_file_offset(key.parent);
    }
    for (std::size_t i = chain.size(); i-- > 0;) {
        if (top != broken_chain) {
            std::size_t depth = top < 0 ? 1 : carver.nodes[std::size_t(top)].depth + 1;
            carver.nodes.push_back({top, std::move(chain[i].second), depth});
            top = int(carver.nodes.size() - 1);
        }
        carver.node_of.emplace(chain[i].first, top);
    }
    return top;
}

// The first `most` names of the path of `node`.
std::vector<std::string> node_path(const Carver &carver, int node, std::size_t most) {
    std::size_t depth = node < 0 ? 0 : carver.nodes[std::size_t(node)].depth;
    for (; node >= 0 && depth > most; --depth)
        node = carver.nodes[std::size_t(node)].parent;
    std::vector<std::string> path(depth);
    for (; node >= 0; node = carver.nodes[std::size_t(node)].parent)
        path[--depth] = carver.nodes[std::size_t(node)].name;
    return path;
}

// Whether `bytes` from the cell at `offset` lie in the image and clear of live records.
bool untouched(const Carver &carver, std::size_t offset, std::size_t bytes) {
    return offset != 0 && offset < carver.image.size() && bytes <= carver.image.size() - offset &&
           !carver.used.any_in(offset / granule, (offset + bytes + granule - 1) / granule);
}

// The data of a deleted value, when every cell it lies in is clear of live records.
bool deleted_data(const Carver &carver, const ValueRecord &value, std::string &data) {
    if (value.data_in_record) {
        data = std::string(carver.image.substr(value.data_field_at, value.data_size));
        return true;
    }
    if (value.data_size == 0)
        return true;
    std::size_t offset = hive_file_offset(value.data_offset);
    HiveCell cell;
    if (!untouched(carver, offset, 8) || !hive_cell_at(carver.image, offset, cell))
        return false;
    BigDataRecord big;
    if (value.data_size > HIVE_BIG_DATA_THRESHOLD &&
        parse_big_data_record(carver.image, cell, big)) {
        std::size_t list = hive_file_offset(big.segments);
        HiveCell list_cell, segment;
        if (!untouched(carver, offset, 12) || !untouched(carver, list, 4 + 4 * big.count) ||
            !hive_cell_at(carver.image, list, list_cell) || big.count > list_cell.length / 4)
            return false;
        for (std::size_t i = 0; i < big.count && data.size() < value.data_size; ++i) {
            std::size_t at = hive_file_offset(hive_u32(carver.image, list_cell.record + 4 * i));
            if (!untouched(carver, at, 8) || !hive_cell_at(carver.image, at, segment))
                return false;
            std::size_t take = std::min<std::size_t>(
                {segment.length, HIVE_BIG_DATA_THRESHOLD, value.data_size - data.size()});
            if (!untouched(carver, at, 4 + take))
                return false;
            data.append(carver.image.substr(segment.record, take));
        }
        return data.size() == value.data_size;
    }
    if (value.data_size > cell.length || !untouched(carver, offset, 4 + value.data_size))
        return false;
    data = std::string(carver.image.substr(cell.record, value.data_size));
    return true;
}

// Takes `bytes` from what may be copied out; false when that is spent.
bool take_copied(Carver &carver, std::size_t bytes) {
    if (bytes > carver.copied_left) {
        carver.copied_left = 0;
        return false;
    }
    carver.copied_left -= bytes;
    return true;
}

// The values of a deleted key, through its own value count and list.
void read_deleted_values(Carver &carver, const KeyRecord &key, CarvedKey &carved) {
    if (key.value_count == 0)
        return;
    std::size_t list = hive_file_offset(key.value_list);
    HiveCell list_cell;
    if (!untouched(carver, list, 4 + 4 * std::size_t(key.value_count)) ||
        !hive_cell_at(carver.image, list, list_cell) || key.value_count > list_cell.length / 4) {
        CarvedValue lost;
        lost.name_known = lost.recoverable = false;
        carved.values.assign(1, lost);
        return;
    }
    for (std::size_t i = 0; i < key.value_count; ++i) {
        CarvedValue carved_value;
        std::size_t offset = hive_file_offset(hive_u32(carver.image, list_cell.record + 4 * i));
        HiveCell cell;
        ValueRecord value;
        if (!untouched(carver, offset, 4 + VALUE_RECORD_FIXED) ||
            !hive_cell_at(carver.image, offset, cell) ||
            !parse_value_record(carver.image, cell, value) ||
            !untouched(carver, offset, 4 + VALUE_RECORD_FIXED + value.name_length)) {
            carved_value.name_known = carved_value.recoverable = false;
        } else {
            carved_value.name =
                record_name(carver.image, value.name_at, value.name_length, value.latin1_name);
            carved_value.type = value.type;
            carved_value.recoverable = deleted_data(carver, value, carved_value.data);
            if (!carved_value.recoverable)
                carved_value.data.clear();
        }
        if (!take_copied(carver, 64 + carved_value.name.size() + carved_value.data.size()))
            return;
        carved.values.push_back(std::move(carved_value));
    }
}

} // namespace

HiveCarveWork hive_carve_work() {
    return carve_work;
}

HiveCarving
carve_deleted_keys(std::string_view image,
                   const std::function<bool(const std::vector<std::string> &)> &wanted) {
    HiveCarving carving;
    if (image.size() < HIVE_BINS_START + page || image.compare(0, 4, "regf") != 0)
        return carving;
    // Only the hive bins the base block gives are this hive's, and only what the file holds.
    std::size_t bins = hive_u32(image, bins_size_field);
    std::size_t held = (image.size() - HIVE_BINS_START) / page * page;
    image = image.substr(0, HIVE_BINS_START + std::min(bins, held));
    Carver carver{image,
                  Granules(image.size()),
                  Granules(image.size()),
                  hive_file_offset(hive_u32(image, root_cell_field)),
                  image.size() / 4 + 64,
                  {},
                  {},
                  image.size() / granule + 4096,
                  8 * image.size() + 65536};
    mark_live_tree(carver);
    if (!is_live_key(carver, carver.root))
        return carving;
    for (std::size_t bin = HIVE_BINS_START; bin + page <= image.size();) {
        std::size_t bin_size = page;
        if (image.compare(bin, 4, "hbin") == 0) {
            std::size_t stated = hive_u32(image, bin + 8);
            if (stated >= page && stated % page == 0 && stated <= image.size() - bin)
                bin_size = stated;
        }
        for (std::size_t at = bin + bin_header; at + 8 <= bin + bin_size; at += granule) {
            ++carve_work.positions;
            if (carver.used.test(at / granule) || image[at + 4] != 'n' || image[at + 5] != 'k')
                continue;
            KeyRecord key;
            if (!deleted_key_at(carver, at, key))
                continue;
            int node = resolve_node(carver, at);
            if (node == broken_chain) {
                ++carving.orphans;
                continue;
            }
            ++carving.deleted;
            CarvedKey carved;
            if (!wanted(node_path(carver, node, CARVE_WANTED_PREFIX)))
                continue;
            carved.path = node_path(carver, node, SIZE_MAX);
            std::size_t path_bytes = 0;
            for (const std::string &name : carved.path)
                path_bytes += name.size() + 32;
            if (!take_copied(carver, path_bytes)) {
                carving.cut_short = true;
                return carving;
            }
            carved.written = key.written;
            carved.offset = at;
            carved.parent_offset = hive_file_offset(key.parent);
            carved.parent_deleted = !is_live_key(carver, carved.parent_offset);
            read_deleted_values(carver, key, carved);
            if (carver.copied_left == 0) {
                carving.cut_short = true;
                return carving;
            }
            carving.keys.push_back(std::move(carved));
        }
        bin += bin_size;
    }
    return carving;
}
