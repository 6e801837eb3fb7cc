// Test hives made with libhivex's write API from tests/data/minimal.hive (see hive_fixture.h).
#include "tests/hive_fixture.h"

#include <hivex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string MINIMAL_HIVE =
    std::filesystem::path(__FILE__).parent_path().string() + "/data/minimal.hive";

// Data longer than this goes into big-data cells, in segments of this size.
constexpr std::size_t BIG_DATA_SEGMENT = 16344;

struct HiveCloser {
    void operator()(hive_h *hive) const { hivex_close(hive); }
};
using HiveHandle = std::unique_ptr<hive_h, HiveCloser>;

// An anonymous in-memory file and the path libhivex can open it by.
struct MemoryFile {
    int fd = memfd_create("hive-fixture", MFD_CLOEXEC);
    ~MemoryFile() {
        if (fd >= 0)
            close(fd);
    }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }
};

bool fill(const MemoryFile &file, const std::string &bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = pwrite(file.fd, bytes.data() + done, bytes.size() - done, off_t(done));
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return ftruncate(file.fd, off_t(bytes.size())) == 0;
}

std::string contents(const MemoryFile &file) {
    struct stat status {};
    if (fstat(file.fd, &status) != 0)
        return {};
    std::string bytes(std::size_t(status.st_size), '\0');
    return pread(file.fd, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size()) ? bytes
                                                                                  : std::string();
}

std::vector<std::string> split_path(const std::string &path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The key at `path`, made with its missing parents when `create` is set; 0 when absent.
hive_node_h key_at(hive_h *hive, const std::string &path, bool create) {
    hive_node_h node = hivex_root(hive);
    for (const std::string &name : split_path(path)) {
        hive_node_h child = hivex_node_get_child(hive, node, name.c_str());
        if (child == 0 && create)
            child = hivex_node_add_child(hive, node, name.c_str());
        if (child == 0)
            return 0;
        node = child;
    }
    return node;
}

int32_t cell_size(const std::string &image, std::size_t cell) {
    return int32_t(image_u32(image, cell));
}

// Appends a cell holding `payload` to the hive bin being built in `bin`; returns its hive offset.
std::uint32_t append_cell(std::string &bin, std::size_t bin_offset, const std::string &payload) {
    std::size_t size = (payload.size() + 4 + 7) / 8 * 8;
    std::uint32_t offset = std::uint32_t(bin_offset + bin.size());
    std::string cell(size, '\0');
    set_image_u32(cell, 0, std::uint32_t(-int32_t(size)));
    cell.replace(4, payload.size(), payload);
    bin += cell;
    return offset;
}

// Moves the data of the value record at `record` into a 'db' cell over segments, in a hive bin
// appended to the image; the cell that held the data is freed.
void store_as_big_data(std::string &image, std::size_t record) {
    std::size_t length = image_u32(image, record + 4);
    std::size_t old_cell = HIVE_BINS_START + image_u32(image, record + 8);
    std::string data = image.substr(old_cell + 4, length);
    set_image_u32(image, old_cell, std::uint32_t(-cell_size(image, old_cell)));

    std::size_t bin_offset = image.size() - HIVE_BINS_START;
    std::string bin(32, '\0');
    std::string list;
    for (std::size_t at = 0; at < data.size(); at += BIG_DATA_SEGMENT) {
        std::string entry(4, '\0');
        set_image_u32(entry, 0, append_cell(bin, bin_offset, data.substr(at, BIG_DATA_SEGMENT)));
        list += entry;
    }
    std::string db = "db" + std::string(6, '\0');
    db[2] = char(list.size() / 4 & 0xFF);
    db[3] = char(list.size() / 4 >> 8);
    set_image_u32(db, 4, append_cell(bin, bin_offset, list));
    std::uint32_t db_offset = append_cell(bin, bin_offset, db);

    std::size_t bin_size = (bin.size() + 4095) / 4096 * 4096;
    if (bin.size() < bin_size) {
        std::size_t free_size = bin_size - bin.size();
        std::string free_cell(free_size, '\0');
        set_image_u32(free_cell, 0, std::uint32_t(free_size));
        bin += free_cell;
    }
    bin.replace(0, 4, "hbin");
    set_image_u32(bin, 4, std::uint32_t(bin_offset));
    set_image_u32(bin, 8, std::uint32_t(bin_size));
    image += bin;
    set_image_u32(image, record + 8, db_offset);
    set_image_u32(image, 40, std::uint32_t(image.size() - HIVE_BINS_START));
    fix_header_checksum(image);
}

HiveHandle open_image(const MemoryFile &file, const std::string &image) {
    if (file.fd < 0 || !fill(file, image))
        return nullptr;
    return HiveHandle(hivex_open(file.path().c_str(), 0));
}

} // namespace

std::string make_hive(const std::vector<FixtureKey> &keys) {
    std::ifstream minimal(MINIMAL_HIVE, std::ios::binary);
    std::ostringstream base;
    base << minimal.rdbuf();
    MemoryFile source, result;
    if (source.fd < 0 || result.fd < 0 || !fill(source, base.str())) {
        std::fprintf(stderr, "make_hive: cannot load %s\n", MINIMAL_HIVE.c_str());
        return {};
    }
    HiveHandle hive(hivex_open(source.path().c_str(), HIVEX_OPEN_WRITE));
    if (!hive) {
        std::fprintf(stderr, "make_hive: libhivex cannot open %s\n", MINIMAL_HIVE.c_str());
        return {};
    }
    for (const FixtureKey &key : keys) {
        hive_node_h node = key_at(hive.get(), key.path, true);
        if (node == 0) {
            std::fprintf(stderr, "make_hive: cannot add key %s\n", key.path.c_str());
            return {};
        }
        if (key.values.empty())
            continue;
        std::vector<std::string> names, data;
        for (const FixtureValue &value : key.values) {
            names.push_back(value.name);
            data.push_back(value.data);
        }
        std::vector<hive_set_value> values(key.values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            std::uint32_t type = std::uint32_t(key.values[i].type);
            std::memcpy(&values[i].t, &type, sizeof type);
            values[i].key = names[i].data();
            values[i].len = data[i].size();
            values[i].value = data[i].data();
        }
        if (hivex_node_set_values(hive.get(), node, values.size(), values.data(), 0) != 0) {
            std::fprintf(stderr, "make_hive: cannot set the values of %s\n", key.path.c_str());
            return {};
        }
    }
    if (hivex_commit(hive.get(), result.path().c_str(), 0) != 0) {
        std::fprintf(stderr, "make_hive: libhivex cannot write the hive\n");
        return {};
    }
    std::string image = contents(result);
    for (const FixtureKey &key : keys)
        for (const FixtureValue &value : key.values)
            if (value.data.size() > BIG_DATA_SEGMENT) {
                std::size_t record = find_value_record(image, key.path, value.name);
                if (record == 0) {
                    std::fprintf(stderr, "make_hive: value %s lost\n", value.name.c_str());
                    return {};
                }
                store_as_big_data(image, record);
            }
    return image;
}

std::string utf16le_data(const std::u16string &text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes += char(unit & 0xFF);
        bytes += char(unit >> 8);
    }
    return bytes;
}

std::string reg_sz_data(const std::u16string &text) {
    return utf16le_data(text) + '\0' + '\0';
}

std::size_t find_key_record(const std::string &image, const std::string &path) {
    MemoryFile file;
    HiveHandle hive = open_image(file, image);
    hive_node_h node = hive ? key_at(hive.get(), path, false) : 0;
    return node == 0 ? 0 : node + 4;
}

std::size_t find_value_record(const std::string &image, const std::string &path,
                              const std::string &value_name) {
    MemoryFile file;
    HiveHandle hive = open_image(file, image);
    hive_node_h node = hive ? key_at(hive.get(), path, false) : 0;
    hive_value_h value = node == 0 ? 0 : hivex_node_get_value(hive.get(), node, value_name.c_str());
    return value == 0 ? 0 : value + 4;
}

std::uint32_t image_u32(const std::string &image, std::size_t offset) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(image.data()) + offset;
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

void set_image_u32(std::string &image, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        image[offset + std::size_t(i)] = char((value >> (8 * i)) & 0xFF);
}

void fix_header_checksum(std::string &image) {
    std::uint32_t sum = 0;
    for (std::size_t offset = 0; offset < 508; offset += 4)
        sum ^= image_u32(image, offset);
    if (sum == 0xFFFFFFFF)
        sum = 0xFFFFFFFE;
    if (sum == 0)
        sum = 1;
    set_image_u32(image, 508, sum);
}

std::uint32_t append_hive_cell(std::string &image, const std::string &payload) {
    std::size_t bin_offset = image.size() - HIVE_BINS_START;
    std::string bin(32, '\0');
    std::uint32_t offset = append_cell(bin, bin_offset, payload);
    std::size_t bin_size = (bin.size() + 4095) / 4096 * 4096;
    if (bin.size() < bin_size) {
        std::size_t free_size = bin_size - bin.size();
        std::string free_cell(free_size, '\0');
        set_image_u32(free_cell, 0, std::uint32_t(free_size));
        bin += free_cell;
    }
    bin.replace(0, 4, "hbin");
    set_image_u32(bin, 4, std::uint32_t(bin_offset));
    set_image_u32(bin, 8, std::uint32_t(bin_size));
    image += bin;
    set_image_u32(image, 40, std::uint32_t(image.size() - HIVE_BINS_START));
    fix_header_checksum(image);
    return offset;
}

namespace {

constexpr std::size_t NK_WRITTEN = 4;

// Marks the cell at file offset `cell` free, its bytes kept.
void free_cell(std::string &image, std::size_t cell) {
    if (cell + 4 <= image.size() && cell_size(image, cell) < 0)
        set_image_u32(image, cell, std::uint32_t(-cell_size(image, cell)));
}

std::size_t file_offset(std::uint32_t stored) {
    return stored == 0xFFFFFFFF ? 0 : HIVE_BINS_START + stored;
}

// Frees the cells of the key whose record is at `record`, leaf first.
void free_key_cells(std::string &image, hive_h *hive, hive_node_h node, unsigned long long when) {
    std::size_t record = node + 4;
    hive_node_h *children = hivex_node_children(hive, node);
    bool had_children = children != nullptr && children[0] != 0;
    for (std::size_t i = 0; children != nullptr && children[i] != 0; ++i)
        free_key_cells(image, hive, children[i], when);
    std::free(children);
    std::size_t count = image_u32(image, record + NK_VALUE_COUNT);
    std::size_t list = file_offset(image_u32(image, record + NK_VALUE_LIST));
    for (std::size_t i = 0; list != 0 && i < count; ++i) {
        std::size_t value = file_offset(image_u32(image, list + 4 + 4 * i));
        std::uint32_t size = image_u32(image, value + 4 + 4);
        if ((size & 0x80000000u) == 0 && size > 0)
            free_cell(image, file_offset(image_u32(image, value + 4 + 8)));
        free_cell(image, value);
    }
    if (list != 0)
        free_cell(image, list);
    if (had_children) {
        free_cell(image, file_offset(image_u32(image, record + NK_SUBKEY_LIST)));
        set_image_u32(image, record + NK_SUBKEY_COUNT, 0);
        set_image_u32(image, record + NK_SUBKEY_LIST, 0xFFFFFFFF);
        set_image_u32(image, record + NK_WRITTEN, std::uint32_t(when));
        set_image_u32(image, record + NK_WRITTEN + 4, std::uint32_t(when >> 32));
    }
    free_cell(image, node);
}

} // namespace

void delete_key_as_windows(std::string &image, const std::string &path, unsigned long long when) {
    MemoryFile file;
    HiveHandle hive = open_image(file, image);
    hive_node_h node = hive ? key_at(hive.get(), path, false) : 0;
    if (node == 0)
        return;
    hive_node_h parent = hivex_node_parent(hive.get(), node);
    free_key_cells(image, hive.get(), node, when);
    std::size_t parent_record = parent + 4;
    std::size_t list = file_offset(image_u32(image, parent_record + NK_SUBKEY_LIST)) + 4;
    std::size_t entry_size = image.compare(list, 2, "li") == 0 ? 4 : 8;
    std::size_t count = image_u32(image, list) >> 16;
    for (std::size_t i = 0; i < count; ++i) {
        if (file_offset(image_u32(image, list + 4 + i * entry_size)) != node)
            continue;
        // The later entries move down; the old last one stays behind in the slack.
        image.replace(list + 4 + i * entry_size, (count - 1 - i) * entry_size,
                      image.substr(list + 4 + (i + 1) * entry_size, (count - 1 - i) * entry_size));
        image[list + 2] = char((count - 1) & 0xFF);
        image[list + 3] = char((count - 1) >> 8);
        break;
    }
    set_image_u32(image, parent_record + NK_SUBKEY_COUNT,
                  image_u32(image, parent_record + NK_SUBKEY_COUNT) - 1);
    set_image_u32(image, parent_record + NK_WRITTEN, std::uint32_t(when));
    set_image_u32(image, parent_record + NK_WRITTEN + 4, std::uint32_t(when >> 32));
    merge_free_cells(image);
}

void set_key_written(std::string &image, const std::string &path, unsigned long long when) {
    std::size_t record = find_key_record(image, path);
    if (record == 0)
        return;
    set_image_u32(image, record + NK_WRITTEN, std::uint32_t(when));
    set_image_u32(image, record + NK_WRITTEN + 4, std::uint32_t(when >> 32));
}

void merge_free_cells(std::string &image) {
    std::size_t end = std::min<std::size_t>(image.size(), HIVE_BINS_START + image_u32(image, 40));
    for (std::size_t bin = HIVE_BINS_START; bin + 4096 <= end;) {
        std::size_t bin_size = image_u32(image, bin + 8);
        if (image.compare(bin, 4, "hbin") != 0 || bin_size < 4096 || bin_size > end - bin)
            return;
        std::size_t free_start = 0;
        for (std::size_t cell = bin + 32; cell + 4 <= bin + bin_size;) {
            int32_t size = cell_size(image, cell);
            std::size_t length = std::size_t(size < 0 ? -std::int64_t(size) : size);
            if (length < 8 || length > bin + bin_size - cell)
                break;
            if (size > 0 && free_start != 0)
                set_image_u32(image, free_start, std::uint32_t(cell + length - free_start));
            else if (size > 0)
                free_start = cell;
            else
                free_start = 0;
            cell += length;
        }
        bin += bin_size;
    }
}

std::string make_timed_hive(const std::vector<FixtureKey> &keys, unsigned long long when) {
    std::string image = make_hive(keys);
    for (const FixtureKey &key : keys)
        for (std::size_t end = 0; end != std::string::npos;) {
            end = key.path.find('\\', end + 1);
            set_key_written(image, key.path.substr(0, end), when);
        }
    return image;
}
