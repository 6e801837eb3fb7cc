// The in-memory registry tree and its answers to the ANSI registry calls.
#include "registry/memory_registry.h"

#include "registry/ascii_text.h"
#include "registry/code_page.h"

#include <algorithm>
#include <cstring>

namespace {

bool is_utf16(const MemoryRegistry &registry) {
    return registry.code_page != 0;
}

int compare_ansi(std::string_view a, std::string_view b) {
    std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; i++) {
        unsigned char x = ascii_upper(static_cast<unsigned char>(a[i]));
        unsigned char y = ascii_upper(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

char16_t unit_at(std::string_view utf16le, std::size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(utf16le[2 * i]) |
                                 static_cast<unsigned char>(utf16le[2 * i + 1]) << 8);
}

int compare_utf16(std::string_view a, std::string_view b) {
    std::size_t a_units = a.size() / 2, b_units = b.size() / 2;
    std::size_t common = std::min(a_units, b_units);
    for (std::size_t i = 0; i < common; i++) {
        char16_t x = upper_case_unit(unit_at(a, i)), y = upper_case_unit(unit_at(b, i));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a_units < b_units ? -1 : a_units > b_units ? 1 : 0;
}

bool same_name(const MemoryRegistry &registry, std::string_view a, std::string_view b) {
    return a.size() == b.size() && memory_compare_names(registry, a, b) == 0;
}

// The first child whose name does not sort before `name`.
std::vector<std::shared_ptr<MemoryKey>>::iterator
child_position(const MemoryRegistry &registry, MemoryKey &parent, std::string_view name) {
    auto &children = parent.children;
    // Names added in sorted order go to the end: check there first.
    if (children.empty() || memory_compare_names(registry, children.back()->name, name) < 0)
        return children.end();
    return std::lower_bound(children.begin(), children.end(), name,
                            [&](const std::shared_ptr<MemoryKey> &child, std::string_view n) {
                                return memory_compare_names(registry, child->name, n) < 0;
                            });
}

std::shared_ptr<MemoryKey> find_child(const MemoryRegistry &registry, MemoryKey &parent,
                                      std::string_view name) {
    if (parent.last_enumerated < parent.children.size() &&
        same_name(registry, parent.children[parent.last_enumerated]->name, name))
        return parent.children[parent.last_enumerated];
    auto place = child_position(registry, parent, name);
    if (place != parent.children.end() && same_name(registry, (*place)->name, name))
        return *place;
    return nullptr;
}

void mark_deleted(MemoryKey &key) {
    key.deleted = true;
    for (auto &child : key.children)
        mark_deleted(*child);
}

bool is_string_type(unsigned long type) {
    return type == 1 || type == 2 || type == 7; // REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ
}

// The ANSI form of a stored text, made into a buffer of the calling thread that the next call
// reuses: a scan converts each name and value once or twice, and keeping the forms would cost
// more memory than the conversions cost time.
const std::string &to_ansi(const MemoryRegistry &registry, const std::string &utf16le,
                           std::string &buffer) {
    utf16le_to_code_page(registry.code_page, utf16le, buffer);
    return buffer;
}

} // namespace

MemoryRegistry memory_utf16_tree() {
    MemoryRegistry tree;
    tree.code_page = 932;
    return tree;
}

int memory_compare_names(const MemoryRegistry &registry, std::string_view a, std::string_view b) {
    return is_utf16(registry) ? compare_utf16(a, b) : compare_ansi(a, b);
}

MemoryKey *memory_child(const MemoryRegistry &registry, MemoryKey &parent,
                        const std::string &name) {
    return find_child(registry, parent, name).get();
}

const MemoryKey *memory_child(const MemoryRegistry &registry, const MemoryKey &parent,
                              const std::string &name) {
    // The look-up changes nothing but where the next look-up starts.
    return find_child(registry, const_cast<MemoryKey &>(parent), name).get();
}

MemoryKey &memory_add_child(const MemoryRegistry &registry, MemoryKey &parent,
                            const std::string &name) {
    auto place = child_position(registry, parent, name);
    if (place != parent.children.end() && same_name(registry, (*place)->name, name))
        return **place;
    auto child = std::make_shared<MemoryKey>();
    child->name = name;
    child->parent = &parent;
    return **parent.children.insert(place, std::move(child));
}

void memory_set_value(const MemoryRegistry &registry, MemoryKey &key, const std::string &name,
                      unsigned long type, std::string data) {
    for (MemoryValue &value : key.values)
        if (same_name(registry, value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    MemoryValue value;
    value.name = name;
    value.type = type;
    value.data = std::move(data);
    key.values.push_back(std::move(value));
}

void memory_delete_value(const MemoryRegistry &registry, MemoryKey &key, const std::string &name) {
    auto &values = key.values;
    values.erase(
        std::remove_if(values.begin(), values.end(),
                       [&](const MemoryValue &v) { return same_name(registry, v.name, name); }),
        values.end());
}

void memory_delete_child(const MemoryRegistry &registry, MemoryKey &parent,
                         const std::string &name) {
    auto place = child_position(registry, parent, name);
    if (place == parent.children.end() || !same_name(registry, (*place)->name, name))
        return;
    mark_deleted(**place);
    (*place)->parent = nullptr;
    parent.children.erase(place);
}

RegStatus memory_open(const MemoryRegistry &registry, const std::shared_ptr<MemoryKey> &from,
                      const char *name, std::shared_ptr<MemoryKey> &found) {
    thread_local std::string converted;
    std::string_view stored(name);
    if (is_utf16(registry)) {
        code_page_to_utf16le(registry.code_page, stored, converted);
        stored = converted;
    }
    const std::size_t unit = is_utf16(registry) ? 2 : 1;
    std::shared_ptr<MemoryKey> key = from;
    std::size_t start = 0;
    while (start < stored.size() && key) {
        std::size_t end = start;
        while (end < stored.size() && !(stored[end] == '\\' && (unit == 1 || stored[end + 1] == 0)))
            end += unit;
        if (end > start)
            key = find_child(registry, *key, stored.substr(start, end - start));
        start = end + unit;
    }
    if (!key)
        return REG_ERROR_FILE_NOT_FOUND;
    found = key;
    return REG_SUCCESS;
}

RegStatus memory_enum_key(const MemoryRegistry &registry, MemoryKey &key, unsigned long index,
                          char *name, unsigned long *name_chars) {
    if (index >= key.children.size())
        return REG_ERROR_NO_MORE_ITEMS;
    thread_local std::string buffer;
    const std::string &stored_name = key.children[index]->name;
    const std::string &child =
        is_utf16(registry) ? to_ansi(registry, stored_name, buffer) : stored_name;
    if (child.size() >= *name_chars)
        return REG_ERROR_MORE_DATA;
    std::memcpy(name, child.c_str(), child.size() + 1);
    *name_chars = static_cast<unsigned long>(child.size());
    key.last_enumerated = index;
    return REG_SUCCESS;
}

// Follows the system's order: the data is judged and copied first, then the name; the type and
// the data size are reported even when the call fails with REG_ERROR_MORE_DATA.
RegStatus memory_enum_value(const MemoryRegistry &registry, MemoryKey &key, unsigned long index,
                            char *name, unsigned long *name_chars, unsigned long *type,
                            unsigned char *data, unsigned long *data_bytes) {
    if (index >= key.values.size())
        return REG_ERROR_NO_MORE_ITEMS;
    MemoryValue &value = key.values[index];
    const std::string *value_name = &value.name;
    const std::string *value_data = &value.data;
    thread_local std::string name_buffer, data_buffer;
    if (is_utf16(registry)) {
        value_name = &to_ansi(registry, value.name, name_buffer);
        if (is_string_type(value.type))
            value_data = &to_ansi(registry, value.data, data_buffer);
    }
    RegStatus status = REG_SUCCESS;
    const unsigned long size = static_cast<unsigned long>(value_data->size());
    if (data && size > 0) {
        if (size > *data_bytes) {
            status = REG_ERROR_MORE_DATA;
        } else {
            std::memcpy(data, value_data->data(), size);
            // The system ends converted string data with a NUL when the buffer has room for one.
            if (is_utf16(registry) && is_string_type(value.type) && size < *data_bytes &&
                data[size - 1] != 0)
                data[size] = 0;
        }
    }
    if (status == REG_SUCCESS) {
        if (value_name->size() >= *name_chars)
            status = REG_ERROR_MORE_DATA;
        else {
            std::memcpy(name, value_name->c_str(), value_name->size() + 1);
            *name_chars = static_cast<unsigned long>(value_name->size());
        }
    }
    if (type)
        *type = value.type;
    if (data_bytes)
        *data_bytes = size;
    return status;
}
