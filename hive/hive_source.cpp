// Reads the class registrations of a registry hive image with libhivex (see hive_source.h).
#include "hive/hive_source.h"
#include "hive/hive_cells.h"
#include "hive/hive_recovery.h"
#include "registry/ascii_text.h"
#include "registry/code_page.h"

#include <hivex.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

// Under AddressSanitizer the cells are read from an exact-size heap copy of the file instead of
// its mapping, so that a read past the end is caught rather than landing in whatever is mapped.
#if defined(__SANITIZE_ADDRESS__)
#define HIVE_SOURCE_HEAP_VIEW 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HIVE_SOURCE_HEAP_VIEW 1
#endif
#endif

namespace {

// Layout facts of the hive format used here; offsets within the image.
constexpr std::size_t base_block_size = HIVE_BASE_BLOCK_SIZE;
constexpr std::size_t bins_size_field = HIVE_DATA_SIZE_FIELD;
constexpr std::size_t checksum_field = HIVE_CHECKSUM_FIELD;

constexpr std::size_t big_data_threshold = HIVE_BIG_DATA_THRESHOLD;

// The system refuses keys nested deeper than this; deeper ones can only come from a made-up hive.
constexpr std::size_t max_key_depth = 512;
// Warnings listed per hive; the rest are counted in one last line.
constexpr std::size_t max_warnings = 100;

thread_local HiveReadWork read_work;

std::uint32_t get_u32(std::string_view image, std::size_t offset) {
    return hive_u32(image, offset);
}

void put_u32(std::string &image, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        image[offset + i] = char((value >> (8 * i)) & 0xFF);
}

// Callers make sure the image holds a whole base block.
std::uint32_t header_checksum(std::string_view image) {
    return hive_header_checksum(reinterpret_cast<const unsigned char *>(image.data()));
}

// The largest hive bins size the image can back: its whole pages after the base block.
std::uint32_t bins_size_limit(std::string_view image) {
    std::size_t pages = image.size() / 4096 * 4096;
    return pages <= base_block_size ? 0 : std::uint32_t(pages - base_block_size);
}

std::string errno_text(int error_number) {
    return error_number == 0 ? std::string("unknown failure") : std::strerror(error_number);
}

// Whether the stored (UTF-16LE) `name` is `ascii`, without regard to case.
bool same_name(const std::string &name, const char *ascii) {
    std::size_t i = 0;
    for (; ascii[i] != '\0'; ++i) {
        if (2 * i + 1 >= name.size())
            return false;
        char16_t a = char16_t(static_cast<unsigned char>(name[2 * i]) |
                              static_cast<unsigned char>(name[2 * i + 1]) << 8);
        char16_t b = char16_t(ascii[i]);
        if (ascii_upper(a) != ascii_upper(b))
            return false;
    }
    return 2 * i == name.size();
}

struct HiveCloser {
    void operator()(hive_h *hive) const { hivex_close(hive); }
};
using HiveHandle = std::unique_ptr<hive_h, HiveCloser>;

struct FileCloser {
    int fd;
    ~FileCloser() { close(fd); }
};

// The bytes of the file libhivex reads: the caller's image when libhivex reads the caller's file,
// else a read-only mapping of the in-memory file, which shares libhivex's pages.
struct FileView {
    const char *bytes = nullptr;
    std::size_t size = 0;
    void *mapping = nullptr;
    FileView() = default;
    FileView(const FileView &) = delete;
    FileView &operator=(const FileView &) = delete;
    ~FileView() {
        if (mapping != nullptr)
            munmap(mapping, size);
    }
};

HiveHandle open_path(const std::string &path, int flags, std::string &error) {
    errno = 0;
    HiveHandle hive(hivex_open(path.c_str(), flags));
    if (!hive)
        error = "libhivex: " + errno_text(errno);
    return hive;
}

// Opens `image` with libhivex through an anonymous in-memory file; the image never touches disk.
// libhivex opens its own descriptor on the file, so ours is closed again at once.
HiveHandle open_in_memory(std::string_view image, int flags, FileView &view, std::string &error) {
    int fd = memfd_create("hive-image", MFD_CLOEXEC);
    if (fd < 0) {
        error = "cannot create an in-memory file: " + errno_text(errno);
        return nullptr;
    }
    FileCloser closer{fd};
    for (std::size_t written = 0; written < image.size();) {
        ssize_t n = write(fd, image.data() + written, image.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot fill an in-memory file: " + errno_text(errno);
            return nullptr;
        }
        written += std::size_t(n);
    }
    HiveHandle hive = open_path("/proc/self/fd/" + std::to_string(fd), flags, error);
    if (!hive)
        return nullptr;
    void *bytes = mmap(nullptr, image.size(), PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (bytes == MAP_FAILED) {
        error = "cannot map the in-memory file: " + errno_text(errno);
        return nullptr;
    }
    view.mapping = bytes;
    view.bytes = static_cast<const char *>(bytes);
    view.size = image.size();
    return hive;
}

// Opens the image strictly: libhivex reads `image_file` itself when the caller has one that holds
// exactly the image, else a copy in an in-memory file.
HiveHandle open_strictly(std::string_view image, int image_file, FileView &view,
                         std::string &error) {
    if (image_file < 0)
        return open_in_memory(image, 0, view, error);
    view.bytes = image.data();
    view.size = image.size();
    return open_path("/proc/self/fd/" + std::to_string(image_file), 0, error);
}

// A copy that libhivex's tolerant mode can open without harm: its scan for hive bins runs past
// the end of the file when the header promises more bins than the file has, so that size is cut
// to the file's whole pages; the checksum, which even the tolerant mode checks, is made right.
// Pages past the bins the header gives are not copied: libhivex would not read them.
std::string tolerant_copy(std::string_view image) {
    if (image.size() >= base_block_size &&
        get_u32(image, bins_size_field) <= bins_size_limit(image))
        image = image.substr(
            0,
            base_block_size + (get_u32(image, bins_size_field) + std::size_t(4095)) / 4096 * 4096);
    std::string copy(image);
    if (copy.size() < base_block_size)
        copy.resize(base_block_size, '\0');
    if (get_u32(copy, bins_size_field) > bins_size_limit(image))
        put_u32(copy, bins_size_field, bins_size_limit(image));
    put_u32(copy, checksum_field, header_checksum(copy));
    return copy;
}

// Why a strict open failed, as far as the header tells; else the reason the open gave.
std::string damage_reason(std::string_view image, const std::string &library_reason) {
    std::string reason;
    if (image.size() < base_block_size)
        return "the file is shorter than a hive's header";
    if (get_u32(image, checksum_field) != header_checksum(image))
        reason = "the header checksum is wrong";
    std::uint32_t bins_size = get_u32(image, bins_size_field);
    if (bins_size > bins_size_limit(image)) {
        reason += reason.empty() ? "" : "; ";
        reason += "the header's hive bins size (" + std::to_string(bins_size) +
                  " bytes) exceeds the file";
    }
    return reason.empty() ? library_reason : reason;
}

// One read of a hive: the open hive, the image it was opened on, and what the read has used up.
struct HiveReader {
    const MemoryRegistry &tree; // what the classes are read into, for comparing names
    hive_h *hive;
    std::string_view image; // the bytes libhivex reads, through a mapping of the same file
    const std::string &file_name;
    std::vector<std::string> &warnings;
    // Subkey and value entries still to be looked at, and value data bytes still to be copied. A
    // sound hive stores each entry and each data byte once, so the image's size bounds both; a
    // hive whose lists share entries or data cannot make the read cost more than that.
    std::size_t entries_left;
    std::size_t data_left;
    bool out_of_entries = false;
    std::size_t unlisted_warnings = 0;
    // Cells (keys and values) already read, one flag per 4 bytes of the image: an entry leading
    // back to one (a loop) is skipped.
    std::vector<bool> cells_seen{};
    // Subkeys listed and not yet read, of every level of the walk; the values of one key.
    std::vector<hive_node_h> pending{};
    std::vector<hive_value_h> value_handles{};
    // Names of the keys from the root down to the one being read, for messages.
    std::vector<const std::string *> path{};
};

// Marks the cell at `handle` as read; false when it was already, or is no cell of the image.
bool first_visit(HiveReader &reader, std::size_t handle) {
    if (handle % 4 != 0 || handle / 4 >= reader.cells_seen.size() || reader.cells_seen[handle / 4])
        return false;
    reader.cells_seen[handle / 4] = true;
    return true;
}

// Lists a warning whose text `text()` makes, or only counts it once max_warnings are listed: the
// text (often with a key path, which a hostile hive can make long) is made for listed ones only.
template <class MakeText> void warn(HiveReader &reader, MakeText text) {
    if (reader.warnings.size() < max_warnings)
        reader.warnings.push_back(reader.file_name + ": " + text());
    else
        ++reader.unlisted_warnings;
}

// A stored key name as messages show it: UTF-8, cut after the 255 characters the system allows
// a key name (a made-up hive may store 32,767), so that no message grows with hostile names.
std::string shown_key_name(const std::string &stored) {
    constexpr std::size_t most = 255;
    if (stored.size() <= 2 * most)
        return utf16_to_utf8(utf16le_bytes_to_text(stored));
    return utf16_to_utf8(utf16le_bytes_to_text(stored.substr(0, 2 * most))) + "...";
}

std::string key_path(const HiveReader &reader) {
    ++read_work.key_paths_built;
    std::string path;
    for (const std::string *name : reader.path) {
        if (!path.empty())
            path += '\\';
        path += shown_key_name(*name);
    }
    return path.empty() ? "(root)" : path;
}

// Takes `count` entries from the budget; false (with one warning) when it is spent.
bool take_entries(HiveReader &reader, std::size_t count) {
    if (!reader.out_of_entries && count <= reader.entries_left) {
        reader.entries_left -= count;
        return true;
    }
    if (!reader.out_of_entries)
        warn(reader, [&] {
            return "the hive's lists hold more entries than the hive has room for (shared or "
                   "repeated entries); the read stopped at " +
                   key_path(reader);
        });
    reader.out_of_entries = true;
    return false;
}

// The allocated cell at file offset `offset`: a live record is only ever read from one.
bool allocated_cell(std::string_view image, std::size_t offset, HiveCell &cell) {
    return hive_cell_at(image, offset, cell) && cell.allocated;
}

// The payload of the cell at file offset `cell`, when it is an allocated cell inside the image.
bool cell_payload(std::string_view image, std::size_t offset, std::size_t &begin,
                  std::size_t &length) {
    HiveCell cell;
    if (!allocated_cell(image, offset, cell))
        return false;
    begin = cell.record;
    length = cell.length;
    return true;
}

// The name stored in a key or value cell as UTF-16LE bytes (unpaired surrogates kept). False
// when the cell does not hold a well-formed record of that kind. A name stored in more than
// `longest` bytes is left empty, not copied.
template <class Record>
bool name_in_cell(std::string_view image, std::size_t offset,
                  bool (*parse)(std::string_view, const HiveCell &, Record &), std::string &name,
                  std::size_t longest = SIZE_MAX) {
    HiveCell cell;
    Record record;
    if (!allocated_cell(image, offset, cell) || !parse(image, cell, record))
        return false;
    if (record.name_length > longest) {
        name.clear();
        return true;
    }
    name = record_name(image, record.name_at, record.name_length, record.latin1_name);
    read_work.name_bytes_copied += name.size();
    return true;
}

// libhivex's own idea of a name, for a cell the check above does not accept.
bool library_name(char *utf8, std::string &name) {
    std::u16string text;
    bool converted = utf8 != nullptr && utf8_to_utf16(utf8, text);
    std::free(utf8);
    if (converted)
        name = text_to_utf16le_bytes(text);
    read_work.name_bytes_copied += converted ? name.size() : 0;
    return converted;
}

bool key_name(HiveReader &reader, hive_node_h node, std::string &name,
              std::size_t longest = SIZE_MAX) {
    return name_in_cell<KeyRecord>(reader.image, node, parse_key_record, name, longest) ||
           library_name(hivex_node_name(reader.hive, node), name);
}

bool value_name(HiveReader &reader, hive_value_h value, std::string &name) {
    return name_in_cell<ValueRecord>(reader.image, value, parse_value_record, name) ||
           library_name(hivex_value_key(reader.hive, value), name);
}

// The record of the key cell `node`, when the cell holds a whole key record.
bool key_record(const HiveReader &reader, hive_node_h node, KeyRecord &record) {
    HiveCell cell;
    return allocated_cell(reader.image, node, cell) && parse_key_record(reader.image, cell, record);
}

// The key's last write time (a FILETIME) from its record; 0 when the record cannot be read.
unsigned long long key_written(const HiveReader &reader, hive_node_h node) {
    KeyRecord record;
    return key_record(reader, node, record) ? record.written : 0;
}

// Reads a subkey list cell ('lf', 'lh', 'li', or an 'ri' index of those) into key cell offsets.
bool read_subkey_list(HiveReader &reader, std::uint32_t offset, bool index_allowed,
                      std::vector<hive_node_h> &children) {
    HiveCell cell;
    ListRecord list;
    if (!allocated_cell(reader.image, base_block_size + std::size_t(offset), cell) ||
        !parse_list_record(reader.image, cell, list) || (list.index && !index_allowed))
        return false;
    std::size_t count = list.count;
    if (!take_entries(reader, count))
        return true;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t entry = get_u32(reader.image, list.entries_at + i * list.entry_size);
        if (list.index) {
            if (!read_subkey_list(reader, entry, false, children))
                return false;
        } else {
            children.push_back(base_block_size + entry);
        }
    }
    return true;
}

// Appends the subkeys of `node` to `children`, in stored order. The subkey list is read from its
// cells: libhivex's listing costs several allocations a key, and refuses keys with more than
// 70,000 subkeys, which a CLSID key can have. libhivex reads what does not check out here, as
// tolerant as the mode the hive was opened in.
bool list_children(HiveReader &reader, hive_node_h node, std::vector<hive_node_h> &children) {
    std::size_t before = children.size();
    KeyRecord record;
    if (key_record(reader, node, record)) {
        if (record.subkey_count == 0)
            return true;
        if (read_subkey_list(reader, record.subkey_list, true, children))
            return true;
        children.resize(before);
    }
    errno = 0;
    hive_node_h *list = hivex_node_children(reader.hive, node);
    if (list == nullptr) {
        warn(reader, [&, number = errno] {
            return "key " + key_path(reader) + ": its subkeys cannot be read (" +
                   errno_text(number) + ")";
        });
        return false;
    }
    std::size_t count = 0;
    while (list[count] != 0)
        ++count;
    if (take_entries(reader, count))
        children.insert(children.end(), list, list + count);
    std::free(list);
    return true;
}

// Puts the values of `node` into `values`, in stored order; read like the subkeys above.
bool list_values(HiveReader &reader, hive_node_h node, std::vector<hive_value_h> &values) {
    values.clear();
    std::size_t begin = 0, length = 0;
    KeyRecord record;
    if (key_record(reader, node, record)) {
        std::size_t count = record.value_count;
        if (count == 0)
            return true;
        std::size_t list = base_block_size + std::size_t(record.value_list);
        if (cell_payload(reader.image, list, begin, length) && count <= length / 4) {
            if (take_entries(reader, count))
                for (std::size_t i = 0; i < count; ++i)
                    values.push_back(base_block_size + get_u32(reader.image, begin + 4 * i));
            return true;
        }
    }
    errno = 0;
    hive_value_h *list = hivex_node_values(reader.hive, node);
    if (list == nullptr) {
        warn(reader, [&, number = errno] {
            return "key " + key_path(reader) + ": its values cannot be read (" +
                   errno_text(number) + ")";
        });
        return false;
    }
    std::size_t count = 0;
    while (list[count] != 0)
        ++count;
    if (take_entries(reader, count))
        values.assign(list, list + count);
    std::free(list);
    return true;
}

using NamedKeys = std::vector<std::pair<hive_node_h, std::string>>;

// The subkeys of `node` with their names; unreadable names are reported and left out. `listed`
// tells whether the subkey list could be read at all. Only short names are looked for among them
// (the longest, "Local Settings", takes 28 bytes): a longer one is left empty rather than copied
// for every entry of a list that names its key again and again.
NamedKeys named_children(HiveReader &reader, hive_node_h node, bool *listed = nullptr) {
    constexpr std::size_t longest_looked_for = 28;
    NamedKeys named;
    std::vector<hive_node_h> children;
    bool list_read = list_children(reader, node, children);
    if (listed != nullptr)
        *listed = list_read;
    named.reserve(children.size());
    for (hive_node_h child : children) {
        std::string name;
        if (key_name(reader, child, name, longest_looked_for))
            named.emplace_back(child, std::move(name));
        else
            warn(reader,
                 [&] { return "key " + key_path(reader) + ": a subkey's name cannot be read"; });
    }
    return named;
}

// The first subkey named `wanted` (compared without case), or null.
const NamedKeys::value_type *find_child(const NamedKeys &children, const char *wanted) {
    for (const auto &child : children)
        if (same_name(child.second, wanted))
            return &child;
    return nullptr;
}

std::uint32_t type_bits(const hive_type &type) {
    // libhivex stores the type field as found; reading it through the enum would be undefined
    // for values outside the enumerators.
    static_assert(sizeof(hive_type) == sizeof(std::uint32_t), "hive_type is a 32-bit field");
    std::uint32_t bits = 0;
    std::memcpy(&bits, &type, sizeof bits);
    return bits;
}

// Copies the data of a value kept whole in one data cell straight from that cell, sparing
// libhivex's copy. False for data kept in the value record itself or in big-data segments, and
// for a cell too small for the data; libhivex reads those.
bool plain_data(HiveReader &reader, hive_value_h value, std::size_t length, std::string &data) {
    std::size_t cell_length = 0, begin = 0, payload = 0;
    std::size_t cell = hivex_value_data_cell_offset(reader.hive, value, &cell_length);
    if (cell == 0 || length > big_data_threshold ||
        !cell_payload(reader.image, cell, begin, payload) || payload < length)
        return false;
    data.assign(reader.image.data() + begin, length);
    return true;
}

// Reads the values of `node` in stored order. A value whose name repeats an earlier one is kept
// too: the system lists every entry of a key's value list.
void read_values(HiveReader &reader, hive_node_h node, std::vector<MemoryValue> &values) {
    std::vector<hive_value_h> &list = reader.value_handles;
    if (!list_values(reader, node, list))
        return;
    std::size_t count = list.size();
    values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        hive_value_h handle = list[i];
        if (!first_visit(reader, handle)) {
            warn(reader, [&] {
                return "key " + key_path(reader) +
                       ": a value entry leads to a value already read; skipped";
            });
            continue;
        }
        MemoryValue value;
        if (!value_name(reader, handle, value.name)) {
            warn(reader,
                 [&] { return "key " + key_path(reader) + ": a value's name cannot be read"; });
            continue;
        }
        auto what = [&] {
            return "key " + key_path(reader) + ", value \"" +
                   utf16_to_utf8(utf16le_bytes_to_text(value.name)) + "\"";
        };
        hive_type type{};
        std::size_t length = 0;
        errno = 0;
        if (hivex_value_type(reader.hive, handle, &type, &length) != 0) {
            warn(reader, [&, number = errno] {
                return what() + ": cannot be read (" + errno_text(number) + ")";
            });
            continue;
        }
        if (length > reader.data_left) {
            warn(reader, [&] {
                return what() + ": its data (" + std::to_string(length) +
                       " bytes) is more than the hive has room for; skipped";
            });
            continue;
        }
        if (!plain_data(reader, handle, length, value.data)) {
            errno = 0;
            char *data = hivex_value_value(reader.hive, handle, &type, &length);
            if (data == nullptr) {
                warn(reader, [&, number = errno] {
                    return what() + ": its data cannot be read (" + errno_text(number) + ")";
                });
                continue;
            }
            value.data.assign(data, std::min(length, reader.data_left));
            std::free(data);
        }
        reader.data_left -= value.data.size();
        value.type = type_bits(type);
        values.push_back(std::move(value));
    }
}

// Puts the subkeys of `key` in the registry's order. A sound hive lists them in that order
// already; a made-up one may not, and may list one name twice, of which the first is kept.
void order_children(HiveReader &reader, MemoryKey &key) {
    auto &children = key.children;
    auto before = [&](const std::shared_ptr<MemoryKey> &a, const std::shared_ptr<MemoryKey> &b) {
        return memory_compare_names(reader.tree, a->name, b->name) < 0;
    };
    auto not_before = [&](const std::shared_ptr<MemoryKey> &a,
                          const std::shared_ptr<MemoryKey> &b) { return !before(a, b); };
    if (std::adjacent_find(children.begin(), children.end(), not_before) == children.end())
        return;
    std::stable_sort(children.begin(), children.end(), before);
    auto kept =
        std::unique(children.begin(), children.end(),
                    [&](const std::shared_ptr<MemoryKey> &a, const std::shared_ptr<MemoryKey> &b) {
                        if (before(a, b))
                            return false;
                        warn(reader, [&] {
                            return "key " + key_path(reader) + ": a second subkey named \"" +
                                   shown_key_name(b->name) + "\"; only the first is read";
                        });
                        return true;
                    });
    children.erase(kept, children.end());
}

// Makes a subkey of `parent` named `name` and reads `node`'s values and subtree into it.
void add_subtree(HiveReader &reader, hive_node_h node, std::string name, MemoryKey &parent);

// Reads the values and the whole subtree of `node` into `key` (whose name is already set).
void read_key(HiveReader &reader, hive_node_h node, MemoryKey &key) {
    read_values(reader, node, key.values);
    // The subkeys wait on one stack shared by all levels; nested calls push theirs above.
    std::size_t begin = reader.pending.size();
    if (!list_children(reader, node, reader.pending))
        return;
    std::size_t end = reader.pending.size();
    key.children.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
        hive_node_h child = reader.pending[i];
        if (!first_visit(reader, child)) {
            warn(reader, [&] {
                return "key " + key_path(reader) +
                       ": a subkey entry leads back to a key already read (a loop) or out of "
                       "the hive; skipped";
            });
            continue;
        }
        std::string name;
        if (!key_name(reader, child, name)) {
            warn(reader,
                 [&] { return "key " + key_path(reader) + ": a subkey's name cannot be read"; });
            continue;
        }
        if (reader.path.size() >= max_key_depth) {
            warn(reader, [&] {
                return "key " + key_path(reader) + ": subkeys deeper than " +
                       std::to_string(max_key_depth) + " levels; skipped";
            });
            break;
        }
        add_subtree(reader, child, std::move(name), key);
    }
    reader.pending.resize(begin);
    order_children(reader, key);
}

void add_subtree(HiveReader &reader, hive_node_h node, std::string name, MemoryKey &parent) {
    auto child = std::make_shared<MemoryKey>();
    child->name = std::move(name);
    child->written = key_written(reader, node);
    child->parent = &parent;
    parent.children.push_back(child);
    reader.path.push_back(&child->name);
    read_key(reader, node, *child);
    reader.path.pop_back();
}

// Copies CLSID and Wow6432Node\CLSID of the classes key `node` into `classes`.
void read_classes(HiveReader &reader, hive_node_h node, MemoryKey &classes) {
    bool clsid_done = false, wow_done = false;
    for (const auto &child : named_children(reader, node)) {
        bool is_clsid = same_name(child.second, "CLSID");
        bool is_wow = same_name(child.second, "Wow6432Node");
        if ((is_clsid && clsid_done) || (is_wow && wow_done)) {
            warn(reader, [&] {
                return "the classes key holds a second \"" + shown_key_name(child.second) +
                       "\"; only the first is read";
            });
            continue;
        }
        if ((!is_clsid && !is_wow) || !first_visit(reader, child.first))
            continue;
        if (is_clsid) {
            clsid_done = true;
            add_subtree(reader, child.first, child.second, classes);
            continue;
        }
        wow_done = true;
        auto wow = std::make_shared<MemoryKey>();
        wow->name = child.second;
        wow->written = key_written(reader, child.first);
        wow->parent = &classes;
        reader.path.push_back(&wow->name);
        NamedKeys wow_children = named_children(reader, child.first);
        const auto *clsid = find_child(wow_children, "CLSID");
        if (clsid != nullptr && first_visit(reader, clsid->first))
            add_subtree(reader, clsid->first, clsid->second, *wow);
        reader.path.pop_back();
        if (!wow->children.empty())
            classes.children.push_back(std::move(wow));
    }
    order_children(reader, classes);
}

} // namespace

HiveReadWork hive_read_work() {
    return read_work;
}

bool read_hive_classes(const std::string &file_name, std::string_view image, HiveClasses &out,
                       std::string &error, int image_file) {
    out = HiveClasses{};
    error.clear();
    if (!looks_like_hive(image)) {
        error = file_name + ": not a registry hive (no \"regf\" signature)";
        return false;
    }
    std::string strict_error;
    FileView view;
    HiveHandle hive = open_strictly(image, image_file, view, strict_error);
    if (!hive) {
        view.bytes = nullptr;
        std::string tolerant_error;
        hive = open_in_memory(tolerant_copy(image), HIVEX_OPEN_UNSAFE, view, tolerant_error);
        if (!hive) {
            error = file_name + ": cannot be read as a hive: " + damage_reason(image, strict_error);
            if (tolerant_error != strict_error)
                error += " (tolerant mode: " + tolerant_error + ")";
            return false;
        }
        out.warnings.push_back(file_name + ": damaged hive, read in tolerant mode: " +
                               damage_reason(image, strict_error));
    }

    std::string_view bytes(view.bytes, view.size);
#ifdef HIVE_SOURCE_HEAP_VIEW
    std::unique_ptr<char[]> heap_view(new char[view.size]);
    std::memcpy(heap_view.get(), view.bytes, view.size);
    bytes = std::string_view(heap_view.get(), view.size);
#endif
    HiveReader reader{out.classes,           hive.get(),  bytes, file_name, out.warnings,
                      image.size() / 4 + 64, image.size()};
    hive_node_h root = hivex_root(hive.get());
    if (root == 0) {
        error = file_name + ": the hive has no readable root key";
        return false;
    }
    reader.cells_seen.resize(view.size / 4 + 1);
    first_visit(reader, root);
    bool root_listed = false;
    NamedKeys top = named_children(reader, root, &root_listed);
    if (!root_listed) {
        error = file_name + ": the root key's subkeys cannot be read";
        return false;
    }
    // The classes key, and the keys from the root down to it (named in messages).
    const auto *classes = find_child(top, "Classes");
    const auto *software = find_child(top, "Software");
    const auto *wow = find_child(top, "Wow6432Node");
    NamedKeys software_children;
    if (classes != nullptr) {
        out.kind = HiveKind::Software;
        reader.path = {&classes->second};
    } else if (find_child(top, "CLSID") != nullptr ||
               find_child(top, "Local Settings") != nullptr ||
               (wow != nullptr &&
                find_child(named_children(reader, wow->first), "CLSID") != nullptr)) {
        out.kind = HiveKind::UserClasses;
    } else if (software != nullptr) {
        out.kind = HiveKind::NtUser;
        first_visit(reader, software->first);
        reader.path = {&software->second};
        software_children = named_children(reader, software->first);
        classes = find_child(software_children, "Classes");
        if (classes != nullptr)
            reader.path.push_back(&classes->second);
    } else {
        out.holds_no_classes_key = true;
        error = file_name + ": not a SOFTWARE, UsrClass.dat or NTUSER.DAT hive";
        return false;
    }
    hive_node_h classes_node = out.kind == HiveKind::UserClasses ? root
                               : classes != nullptr              ? classes->first
                                                                 : 0;
    if (classes_node != 0) {
        first_visit(reader, classes_node);
        read_classes(reader, classes_node, *out.classes.root);
    }
    if (reader.unlisted_warnings > 0)
        out.warnings.push_back(file_name + ": " + std::to_string(reader.unlisted_warnings) +
                               " more problems not listed");
    return true;
}
