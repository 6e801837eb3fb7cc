// In-memory stand-in for the platform interface: faults and records over the in-memory registry.
#include "tests/fake_platform.h"

#include "registry/ascii_text.h"
#include "registry/code_page.h"
#include "registry/memory_registry.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace fake {
namespace {

struct OpenKey {
    std::shared_ptr<MemoryKey> node;
    unsigned long access;
    bool wide; // opened by the wide calls, in the wide tree
};

struct Block {
    std::string bytes;
    bool locked = false;
    bool freed = false;
    bool owned_by_clipboard = false;
};

struct FaultRule {
    Op op;
    unsigned long nth;
    bool from_then_on;
    RegStatus status;
};

// A file or folder of the file calls.
struct FakeFile {
    bool folder = false;
    std::string content;
    unsigned long attributes = 0; // beside FILE_ATTR_FOLDER and FILE_ATTR_REPARSE_POINT
    unsigned long reparse_tag = 0;
    unsigned long long written = 0;
    unsigned long long index = 0;
};

struct OpenFile {
    std::string path;
    std::shared_ptr<FakeFile> file;
    std::size_t position = 0;
};

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

constexpr unsigned long FAKE_VOLUME_SERIAL = 0x5EED;
constexpr unsigned long FILE_ATTR_ARCHIVE = 0x20;

constexpr std::uintptr_t ROOT_HANDLE = 0x10;
constexpr std::uintptr_t LOCAL_MACHINE_HANDLE = 0x20;
constexpr std::uintptr_t CURRENT_USER_HANDLE = 0x30;
// KEY_READ (READ_CONTROL, KEY_QUERY_VALUE, KEY_ENUMERATE_SUB_KEYS, KEY_NOTIFY) and the two views.
constexpr unsigned long WIDE_READ_ACCESS =
    ACCESS_READ_CONTROL | ACCESS_QUERY_VALUE | ACCESS_ENUMERATE_SUB_KEYS | ACCESS_NOTIFY;
constexpr unsigned long WIDE_VIEWS = ACCESS_WOW64_64KEY | ACCESS_WOW64_32KEY;
constexpr std::uintptr_t FIRST_HANDLE = 0x1000;
constexpr int ANSWER_NO = 7;
constexpr std::size_t OP_COUNT = static_cast<std::size_t>(Op::Any) + 1;

MemoryRegistry utf16_registry() {
    MemoryRegistry registry;
    registry.code_page = 1252; // the UTF-16 form; the wide calls never convert to a code page
    return registry;
}

struct State {
    MemoryRegistry registry; // the ANSI form: names and data are the bytes the tests give
    MemoryRegistry wide = utf16_registry(); // its root holds the two predefined keys
    std::map<std::uintptr_t, OpenKey> open_keys;
    std::uintptr_t next_handle = FIRST_HANDLE;
    std::vector<FaultRule> rules;
    std::array<unsigned long, OP_COUNT> counts{};
    unsigned long total_calls = 0;
    std::function<void(Op, unsigned long)> hook;
    bool recording = true;
    std::vector<Call> calls;
    std::vector<BoxShown> boxes;
    int box_answer = ANSWER_NO;
    ClipboardState clipboard;
    bool clipboard_is_open = false;
    std::map<std::uintptr_t, Block> blocks;
    std::uintptr_t next_block = FIRST_HANDLE;
    std::map<void *, std::size_t> heap;
    std::size_t heap_bytes = 0;   // live heap blocks
    std::size_t global_bytes = 0; // live global blocks the program still owns
    std::size_t peak_bytes = 0;   // largest heap_bytes + global_bytes so far
    std::vector<std::string> problems;
    // The file calls: files by folded path, open files and hashes by handle, environment blocks
    // handed out.
    std::map<std::string, std::shared_ptr<FakeFile>> files;
    unsigned long long next_file_index = 1;
    std::map<std::uintptr_t, OpenFile> open_files;
    std::map<std::uintptr_t, DigestContext> hashes;
    std::map<const char16_t *, std::unique_ptr<char16_t[]>> environment_blocks;
    std::vector<FileOpen> file_opens;
    std::u16string environment = std::u16string(2, u'\0');
    std::u16string windows_folder = u"C:\\Windows";
};

State &state() {
    static State s;
    return s;
}

void problem(const std::string &what) {
    state().problems.push_back(what);
}

// The key's path from HKEY_CLASSES_ROOT, parts joined by '\\', for the record of a call.
std::string path_of_key(const MemoryKey &key) {
    std::string path;
    for (const MemoryKey *k = &key; k && k->parent; k = k->parent)
        path = path.empty() ? k->name : k->name + "\\" + path;
    return path;
}

std::string utf8_of(const std::string &utf16le) {
    return utf16_to_utf8(utf16le_bytes_to_text(utf16le));
}

// A wide tree key's path from its predefined key's name on, as UTF-8.
std::string wide_path_of_key(const MemoryKey &key) {
    std::string path;
    for (const MemoryKey *k = &key; k && k->parent; k = k->parent)
        path = path.empty() ? utf8_of(k->name) : utf8_of(k->name) + "\\" + path;
    return path;
}

std::string path_of_open_key(const OpenKey &open) {
    return open.wide ? wide_path_of_key(*open.node) : path_of_key(*open.node);
}

std::vector<std::u16string> split_wide_path(const std::u16string &path) {
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::shared_ptr<MemoryKey> wide_root_node(WideRoot root) {
    State &s = state();
    std::string name = text_to_utf16le_bytes(root == WideRoot::LocalMachine ? u"HKEY_LOCAL_MACHINE"
                                                                            : u"HKEY_CURRENT_USER");
    memory_add_child(s.wide, *s.wide.root, name);
    for (const auto &child : s.wide.root->children)
        if (child->name == name)
            return child;
    return nullptr;
}

// The key at `path` below `from` in the wide tree (parts found without regard to case), made
// when missing if `make` is set; NULL when missing otherwise.
std::shared_ptr<MemoryKey> wide_find(std::shared_ptr<MemoryKey> from, const std::u16string &path,
                                     bool make) {
    State &s = state();
    for (const std::u16string &part : split_wide_path(path)) {
        std::string name = text_to_utf16le_bytes(part);
        if (make)
            memory_add_child(s.wide, *from, name);
        std::shared_ptr<MemoryKey> next;
        for (const auto &child : from->children)
            if (child->name.size() == name.size() &&
                memory_compare_names(s.wide, child->name, name) == 0)
                next = child;
        if (!next)
            return nullptr;
        from = next;
    }
    return from;
}

std::vector<std::string> split_path(const std::string &path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

MemoryKey *find_path(const std::string &path) {
    MemoryKey *key = state().registry.root.get();
    for (const std::string &part : split_path(path)) {
        key = memory_child(state().registry, *key, part);
        if (!key)
            return nullptr;
    }
    return key;
}

MemoryKey &make_path(const std::string &path) {
    MemoryKey *key = state().registry.root.get();
    for (const std::string &part : split_path(path))
        key = &memory_add_child(state().registry, *key, part);
    return *key;
}

// Counts the call and tells whether a rule fails it; runs the hook first.
bool injected_failure(Op op, RegStatus *status) {
    State &s = state();
    unsigned long op_number = ++s.counts[static_cast<std::size_t>(op)];
    unsigned long any_number = ++s.total_calls;
    if (s.hook)
        s.hook(op, any_number);
    for (const FaultRule &rule : s.rules) {
        unsigned long number = rule.op == Op::Any ? any_number : rule.op == op ? op_number : 0;
        if (number == 0)
            continue;
        if (number == rule.nth || (rule.from_then_on && number > rule.nth)) {
            if (status)
                *status = rule.status;
            return true;
        }
    }
    return false;
}

// The key behind a handle, or NULL with the status to answer.
std::shared_ptr<MemoryKey> node_of(RegKey key, RegStatus *status) {
    State &s = state();
    std::uintptr_t id = reinterpret_cast<std::uintptr_t>(key);
    if (id == ROOT_HANDLE)
        return s.registry.root;
    auto found = s.open_keys.find(id);
    if (found == s.open_keys.end() || found->second.wide) {
        problem(found == s.open_keys.end() ? "call on a handle that is not open"
                                           : "ANSI call on a handle of the wide calls");
        *status = 6; // ERROR_INVALID_HANDLE
        return nullptr;
    }
    if (found->second.node->deleted) {
        *status = REG_ERROR_KEY_DELETED;
        return nullptr;
    }
    return found->second.node;
}

// The wide tree's key behind a handle of the wide calls, or NULL with the status to answer.
std::shared_ptr<MemoryKey> wide_node_of(WideRegKey key, RegStatus *status) {
    State &s = state();
    std::uintptr_t id = reinterpret_cast<std::uintptr_t>(key);
    if (id == LOCAL_MACHINE_HANDLE || id == CURRENT_USER_HANDLE)
        return wide_root_node(id == LOCAL_MACHINE_HANDLE ? WideRoot::LocalMachine
                                                         : WideRoot::CurrentUser);
    auto found = s.open_keys.find(id);
    if (found == s.open_keys.end() || !found->second.wide) {
        problem(found == s.open_keys.end() ? "wide call on a handle that is not open"
                                           : "wide call on a handle of the ANSI calls");
        *status = 6; // ERROR_INVALID_HANDLE
        return nullptr;
    }
    if (found->second.node->deleted) {
        *status = REG_ERROR_KEY_DELETED;
        return nullptr;
    }
    return found->second.node;
}

// The path of a wide handle's key, for the record of a call; "" when calls are not recorded.
std::string wide_path_of(WideRegKey key) {
    State &s = state();
    if (!s.recording)
        return std::string();
    std::uintptr_t id = reinterpret_cast<std::uintptr_t>(key);
    if (id == LOCAL_MACHINE_HANDLE || id == CURRENT_USER_HANDLE)
        return id == LOCAL_MACHINE_HANDLE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
    auto found = s.open_keys.find(id);
    return found == s.open_keys.end() ? std::string() : wide_path_of_key(*found->second.node);
}

// The path of the key behind a handle, for the record of a call; "" when calls are not recorded.
std::string path_of(RegKey key) {
    State &s = state();
    if (!s.recording)
        return std::string();
    auto found = s.open_keys.find(reinterpret_cast<std::uintptr_t>(key));
    return found == s.open_keys.end() ? std::string() : path_of_open_key(found->second);
}

// The subkey name, for the record of an open call; "" when calls are not recorded.
std::string recorded_name(const char *name) {
    return state().recording ? std::string(name) : std::string();
}

RegStatus record(Call &call) {
    RegStatus status = call.status;
    if (state().recording)
        state().calls.push_back(std::move(call));
    return status;
}

void note_allocation() {
    State &s = state();
    s.peak_bytes = std::max(s.peak_bytes, s.heap_bytes + s.global_bytes);
}

// A global block stops counting as the program's memory once it is freed or the clipboard has it.
void release_global_bytes(Block &block) {
    State &s = state();
    s.global_bytes -= block.bytes.size();
    std::string().swap(block.bytes);
}

Block *block_of(GlobalBlock block, const char *use) {
    State &s = state();
    auto found = s.blocks.find(reinterpret_cast<std::uintptr_t>(block));
    if (found == s.blocks.end() || found->second.freed) {
        problem(std::string(use) + " of a global block that is not allocated");
        return nullptr;
    }
    if (found->second.owned_by_clipboard) {
        problem(std::string(use) + " of a global block the clipboard owns");
        return nullptr;
    }
    return &found->second;
}

// A file path as the table keys it: ASCII letters folded, no trailing separator.
std::string file_key(const std::string &path) {
    std::string key = ascii_lowered(path);
    while (!key.empty() && key.back() == '\\')
        key.pop_back();
    return key;
}

// The folders above `key`, from the drive down ("c:", "c:\\windows", ...).
std::vector<std::string> folders_above(const std::string &key) {
    std::vector<std::string> folders;
    for (std::size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1))
        folders.push_back(key.substr(0, at));
    return folders;
}

bool is_drive(const std::string &key) {
    return key.size() == 2 && key[1] == ':';
}

std::shared_ptr<FakeFile> new_file(bool folder) {
    auto file = std::make_shared<FakeFile>();
    file->folder = folder;
    file->index = state().next_file_index++;
    return file;
}

// The entry at `key`, a drive being a folder always there; NULL when there is none.
std::shared_ptr<FakeFile> file_at(const std::string &key) {
    State &s = state();
    auto found = s.files.find(key);
    if (found != s.files.end())
        return found->second;
    if (is_drive(key)) {
        s.files[key] = new_file(true);
        return s.files[key];
    }
    return nullptr;
}

void add_folders_above(const std::string &key) {
    for (const std::string &folder : folders_above(key))
        if (!file_at(folder))
            state().files[folder] = new_file(true);
}

bool is_link(const FakeFile &file) {
    return (file.reparse_tag & REPARSE_TAG_NAME_SURROGATE) != 0;
}

OpenFile *open_file_of(FileHandle file, const char *use) {
    auto found = state().open_files.find(reinterpret_cast<std::uintptr_t>(file));
    if (found == state().open_files.end()) {
        problem(std::string(use) + " of a file handle that is not open");
        return nullptr;
    }
    return &found->second;
}

EVP_MD_CTX *hash_of(Sha256Hash hash, const char *use) {
    auto found = state().hashes.find(reinterpret_cast<std::uintptr_t>(hash));
    if (found == state().hashes.end()) {
        problem(std::string(use) + " of a hash that is not open");
        return nullptr;
    }
    return found->second.get();
}

} // namespace

const char *op_name(Op op) {
    static const char *const names[] = {"OpenKey",
                                        "EnumKey",
                                        "EnumValue",
                                        "CloseKey",
                                        "MessageBox",
                                        "HeapAlloc",
                                        "GlobalAlloc",
                                        "GlobalLock",
                                        "GlobalUnlock",
                                        "GlobalFree",
                                        "ClipboardOpen",
                                        "ClipboardEmpty",
                                        "ClipboardSetData",
                                        "ClipboardClose",
                                        "OpenKeyW",
                                        "EnumKeyW",
                                        "EnumValueW",
                                        "CloseKeyW",
                                        "QueryKeyTimeW",
                                        "FileOpenW",
                                        "FileQuery",
                                        "FileRead",
                                        "FileClose",
                                        "Sha256Begin",
                                        "Sha256Add",
                                        "Sha256End",
                                        "EnvironmentBlockW",
                                        "WindowsFolderW",
                                        "Any"};
    return names[static_cast<int>(op)];
}

void reset() {
    State &s = state();
    for (auto &entry : s.heap)
        std::free(entry.first);
    s = State();
}

void add_key(const std::string &path) {
    make_path(path);
}

void add_value(const std::string &path, const std::string &name, unsigned long type,
               const std::string &data) {
    memory_set_value(state().registry, make_path(path), name, type, data);
}

void add_string(const std::string &path, const std::string &name, const std::string &text) {
    add_value(path, name, VALUE_TYPE_SZ, text + std::string(1, '\0'));
}

void delete_key(const std::string &path) {
    std::vector<std::string> parts = split_path(path);
    if (parts.empty())
        return;
    std::string leaf = parts.back();
    MemoryKey *parent = find_path(path.substr(0, path.size() - leaf.size()));
    if (parent)
        memory_delete_child(state().registry, *parent, leaf);
}

void delete_value(const std::string &path, const std::string &name) {
    if (MemoryKey *key = find_path(path))
        memory_delete_value(state().registry, *key, name);
}

void add_wide_key(WideRoot root, const std::u16string &path) {
    wide_find(wide_root_node(root), path, true);
}

void add_wide_value(WideRoot root, const std::u16string &path, const std::u16string &name,
                    unsigned long type, const std::string &data) {
    memory_set_value(state().wide, *wide_find(wide_root_node(root), path, true),
                     text_to_utf16le_bytes(name), type, data);
}

void set_wide_key_time(WideRoot root, const std::u16string &path, unsigned long long written) {
    wide_find(wide_root_node(root), path, true)->written = written;
}

void delete_wide_key(WideRoot root, const std::u16string &path) {
    std::vector<std::u16string> parts = split_wide_path(path);
    if (parts.empty())
        return;
    std::u16string parent_path;
    for (std::size_t i = 0; i + 1 < parts.size(); i++)
        parent_path += parts[i] + u"\\";
    if (std::shared_ptr<MemoryKey> parent = wide_find(wide_root_node(root), parent_path, false))
        memory_delete_child(state().wide, *parent, text_to_utf16le_bytes(parts.back()));
}

void add_file(const std::string &path, const std::string &content, unsigned long attributes,
              unsigned long reparse_tag, unsigned long long written) {
    std::string key = file_key(path);
    add_folders_above(key);
    std::shared_ptr<FakeFile> file = new_file(false);
    file->content = content;
    file->attributes = attributes;
    file->reparse_tag = reparse_tag;
    file->written = written;
    state().files[key] = file;
}

void add_folder(const std::string &path, unsigned long attributes, unsigned long reparse_tag) {
    std::string key = file_key(path);
    add_folders_above(key);
    std::shared_ptr<FakeFile> folder = new_file(true);
    folder->attributes = attributes;
    folder->reparse_tag = reparse_tag;
    state().files[key] = folder;
}

void add_hard_link(const std::string &existing, const std::string &path) {
    std::string key = file_key(path);
    add_folders_above(key);
    state().files[key] = file_at(file_key(existing));
}

void set_file_content(const std::string &path, const std::string &content) {
    if (std::shared_ptr<FakeFile> file = file_at(file_key(path)))
        file->content = content;
}

void set_environment(const std::vector<std::u16string> &strings) {
    std::u16string block;
    for (const std::u16string &text : strings)
        block += text + u'\0';
    state().environment = block + std::u16string(block.empty() ? 2 : 1, u'\0');
}

void set_windows_folder(const std::u16string &folder) {
    state().windows_folder = folder;
}

const std::vector<FileOpen> &file_opens() {
    return state().file_opens;
}

void fail_call(Op op, unsigned long nth, bool from_then_on, RegStatus status) {
    state().rules.push_back(FaultRule{op, nth, from_then_on, status});
}

unsigned long call_count(Op op) {
    return op == Op::Any ? state().total_calls : state().counts[static_cast<std::size_t>(op)];
}

void on_call(std::function<void(Op, unsigned long)> hook) {
    state().hook = std::move(hook);
}

const std::vector<Call> &registry_calls() {
    return state().calls;
}

void set_call_recording(bool on) {
    state().recording = on;
}

void clear_records() {
    State &s = state();
    std::vector<Call>().swap(s.calls);
    std::vector<BoxShown>().swap(s.boxes);
    s.clipboard = ClipboardState();
    s.counts.fill(0);
    s.total_calls = 0;
}

void set_box_answer(int answer) {
    state().box_answer = answer;
}

const std::vector<BoxShown> &boxes_shown() {
    return state().boxes;
}

const ClipboardState &clipboard() {
    return state().clipboard;
}

int global_blocks_allocated() {
    return static_cast<int>(state().blocks.size());
}

int global_blocks_freed() {
    int freed = 0;
    for (const auto &entry : state().blocks)
        freed += entry.second.freed ? 1 : 0;
    return freed;
}

std::size_t heap_bytes_now() {
    return state().heap_bytes + state().global_bytes;
}

std::size_t peak_heap_bytes() {
    return state().peak_bytes;
}

void reset_peak() {
    state().peak_bytes = heap_bytes_now();
}

int open_key_count() {
    return static_cast<int>(state().open_keys.size());
}

std::string problems() {
    State &s = state();
    std::string report;
    for (const std::string &p : s.problems)
        report += p + "\n";
    for (const auto &entry : s.open_keys)
        report += "registry key left open: '" + path_of_open_key(entry.second) + "'\n";
    for (const auto &entry : s.blocks)
        if (!entry.second.freed && !entry.second.owned_by_clipboard)
            report += "global block leaked\n";
        else if (entry.second.locked)
            report += "global block left locked\n";
    if (!s.heap.empty())
        report += std::to_string(s.heap.size()) + " heap block(s) leaked\n";
    if (s.clipboard_is_open)
        report += "clipboard left open\n";
    for (const auto &entry : s.open_files)
        report += "file left open: '" + entry.second.path + "'\n";
    if (!s.hashes.empty())
        report += std::to_string(s.hashes.size()) + " hash(es) left open\n";
    if (!s.environment_blocks.empty())
        report += "environment block not freed\n";
    return report;
}

} // namespace fake

using namespace fake;

RegKey reg_classes_root() {
    return reinterpret_cast<RegKey>(ROOT_HANDLE);
}

RegStatus reg_open_key(RegKey parent, const char *name, unsigned long access, RegKey *result) {
    Call call{Op::OpenKey, path_of(parent), recorded_name(name), 0, access, 0, false,
              0,           REG_SUCCESS};
    *result = nullptr;
    if (access != 0x8 && access != 0x9)
        problem("key '" + std::string(name) + "' opened with access mask " +
                std::to_string(access));
    if (injected_failure(Op::OpenKey, &call.status))
        return record(call);
    std::shared_ptr<MemoryKey> from = node_of(parent, &call.status);
    if (!from)
        return record(call);
    std::shared_ptr<MemoryKey> node;
    call.status = memory_open(state().registry, from, name, node);
    if (call.status != REG_SUCCESS)
        return record(call);
    State &s = state();
    std::uintptr_t id = s.next_handle;
    s.next_handle += 4;
    s.open_keys[id] = OpenKey{node, access, false};
    *result = reinterpret_cast<RegKey>(id);
    return record(call);
}

RegStatus reg_enum_key(RegKey key, unsigned long index, char *name, unsigned long *name_chars) {
    Call call{Op::EnumKey, path_of(key), "", index, 0, *name_chars, false, 0, REG_SUCCESS};
    if (injected_failure(Op::EnumKey, &call.status))
        return record(call);
    std::shared_ptr<MemoryKey> node = node_of(key, &call.status);
    if (!node)
        return record(call);
    call.status = memory_enum_key(state().registry, *node, index, name, name_chars);
    return record(call);
}

RegStatus reg_enum_value(RegKey key, unsigned long index, char *name, unsigned long *name_chars,
                         unsigned long *type, unsigned char *data, unsigned long *data_bytes) {
    Call call{Op::EnumValue,
              path_of(key),
              "",
              index,
              0,
              *name_chars,
              data != nullptr,
              data && data_bytes ? *data_bytes : 0,
              REG_SUCCESS};
    if (injected_failure(Op::EnumValue, &call.status))
        return record(call);
    std::shared_ptr<MemoryKey> node = node_of(key, &call.status);
    if (!node)
        return record(call);
    call.status =
        memory_enum_value(state().registry, *node, index, name, name_chars, type, data, data_bytes);
    return record(call);
}

RegStatus reg_close_key(RegKey key) {
    Call call{Op::CloseKey, path_of(key), "", 0, 0, 0, false, 0, REG_SUCCESS};
    State &s = state();
    auto found = s.open_keys.find(reinterpret_cast<std::uintptr_t>(key));
    if (found == s.open_keys.end() || found->second.wide) {
        problem(found == s.open_keys.end()
                    ? "close of a key handle that is not open (closed twice?)"
                    : "ANSI close of a handle of the wide calls");
        call.status = 6; // ERROR_INVALID_HANDLE
        return record(call);
    }
    // A failed close still lets go of the handle: the program has no other way to release it.
    s.open_keys.erase(found);
    injected_failure(Op::CloseKey, &call.status);
    return record(call);
}

WideRegKey reg_local_machine_w() {
    return reinterpret_cast<WideRegKey>(LOCAL_MACHINE_HANDLE);
}

WideRegKey reg_current_user_w() {
    return reinterpret_cast<WideRegKey>(CURRENT_USER_HANDLE);
}

RegStatus reg_open_key_w(WideRegKey parent, const char16_t *name, unsigned long access,
                         WideRegKey *result) {
    std::u16string path(name);
    Call call{Op::OpenKeyW,
              wide_path_of(parent),
              state().recording ? utf16_to_utf8(path) : std::string(),
              0,
              access,
              0,
              false,
              0,
              REG_SUCCESS};
    *result = nullptr;
    if ((access & ~(WIDE_READ_ACCESS | WIDE_VIEWS)) != 0 || (access & WIDE_VIEWS) == WIDE_VIEWS)
        problem("key '" + utf16_to_utf8(path) + "' opened by the wide call with access mask " +
                std::to_string(access));
    if (injected_failure(Op::OpenKeyW, &call.status))
        return record(call);
    std::shared_ptr<MemoryKey> from = wide_node_of(parent, &call.status);
    if (!from)
        return record(call);
    std::shared_ptr<MemoryKey> node = wide_find(from, path, false);
    if (!node) {
        call.status = REG_ERROR_FILE_NOT_FOUND;
        return record(call);
    }
    State &s = state();
    std::uintptr_t id = s.next_handle;
    s.next_handle += 4;
    s.open_keys[id] = OpenKey{node, access, true};
    *result = reinterpret_cast<WideRegKey>(id);
    return record(call);
}

RegStatus reg_enum_key_w(WideRegKey key, unsigned long index, char16_t *name,
                         unsigned long *name_chars) {
    Call call{Op::EnumKeyW, wide_path_of(key), "", index, 0, *name_chars, false, 0, REG_SUCCESS};
    if (injected_failure(Op::EnumKeyW, &call.status))
        return record(call);
    std::shared_ptr<MemoryKey> node = wide_node_of(key, &call.status);
    if (!node)
        return record(call);
    if (index >= node->children.size()) {
        call.status = REG_ERROR_NO_MORE_ITEMS;
        return record(call);
    }
    std::u16string text = utf16le_bytes_to_text(node->children[index]->name);
    if (text.size() + 1 > *name_chars) {
        call.status = REG_ERROR_MORE_DATA;
        return record(call);
    }
    std::copy(text.begin(), text.end(), name);
    name[text.size()] = u'\0';
    *name_chars = static_cast<unsigned long>(text.size());
    node->last_enumerated = index;
    return record(call);
}

RegStatus reg_enum_value_w(WideRegKey key, unsigned long index, char16_t *name,
                           unsigned long *name_chars, unsigned long *type, unsigned char *data,
                           unsigned long *data_bytes) {
    Call call{Op::EnumValueW,
              wide_path_of(key),
              "",
              index,
              0,
              *name_chars,
              data != nullptr,
              data && data_bytes ? *data_bytes : 0,
              REG_SUCCESS};
    if (injected_failure(Op::EnumValueW, &call.status))
        return record(call);
    std::shared_ptr<MemoryKey> node = wide_node_of(key, &call.status);
    if (!node)
        return record(call);
    if (index >= node->values.size()) {
        call.status = REG_ERROR_NO_MORE_ITEMS;
        return record(call);
    }
    const MemoryValue &value = node->values[index];
    std::u16string text = utf16le_bytes_to_text(value.name);
    if (text.size() + 1 > *name_chars) {
        call.status = REG_ERROR_MORE_DATA;
        return record(call);
    }
    if (type)
        *type = value.type;
    if (data && value.data.size() > *data_bytes) {
        *data_bytes = static_cast<unsigned long>(value.data.size());
        call.status = REG_ERROR_MORE_DATA;
        return record(call);
    }
    std::copy(text.begin(), text.end(), name);
    name[text.size()] = u'\0';
    *name_chars = static_cast<unsigned long>(text.size());
    if (data)
        std::copy(value.data.begin(), value.data.end(), data);
    if (data_bytes)
        *data_bytes = static_cast<unsigned long>(value.data.size());
    return record(call);
}

RegStatus reg_query_key_time_w(WideRegKey key, unsigned long long *written) {
    Call call{Op::QueryKeyTimeW, wide_path_of(key), "", 0, 0, 0, false, 0, REG_SUCCESS};
    *written = 0;
    if (injected_failure(Op::QueryKeyTimeW, &call.status))
        return record(call);
    if (std::shared_ptr<MemoryKey> node = wide_node_of(key, &call.status))
        *written = node->written;
    return record(call);
}

RegStatus reg_close_key_w(WideRegKey key) {
    Call call{Op::CloseKeyW, wide_path_of(key), "", 0, 0, 0, false, 0, REG_SUCCESS};
    State &s = state();
    auto found = s.open_keys.find(reinterpret_cast<std::uintptr_t>(key));
    if (found == s.open_keys.end() || !found->second.wide) {
        problem(found == s.open_keys.end()
                    ? "wide close of a key handle that is not open (closed twice?)"
                    : "wide close of a handle of the ANSI calls");
        call.status = 6; // ERROR_INVALID_HANDLE
        return record(call);
    }
    // As for reg_close_key: a failed close still lets go of the handle.
    s.open_keys.erase(found);
    injected_failure(Op::CloseKeyW, &call.status);
    return record(call);
}

FileError file_open_w(const char16_t *path, FileAccess access, FileReparse reparse,
                      FileHandle *result) {
    State &s = state();
    *result = nullptr;
    std::string named = utf16_to_utf8(path);
    s.file_opens.push_back(FileOpen{named, access, reparse, FILE_SUCCESS});
    FileError &status = s.file_opens.back().status;
    RegStatus injected = 0;
    if (injected_failure(Op::FileOpenW, &injected))
        return status = static_cast<FileError>(injected);
    std::string key = file_key(named.compare(0, 4, "\\\\?\\") == 0 ? named.substr(4) : named);
    for (const std::string &folder : folders_above(key)) {
        std::shared_ptr<FakeFile> above = file_at(folder);
        if (!above || !above->folder)
            return status = FILE_ERROR_PATH_NOT_FOUND;
        if (is_link(*above))
            problem("file opened through a link: '" + named + "'");
    }
    std::shared_ptr<FakeFile> file = file_at(key);
    if (!file)
        return status = FILE_ERROR_FILE_NOT_FOUND;
    if (is_link(*file) && reparse == FileReparse::Process)
        problem("link followed by a file open: '" + named + "'");
    std::uintptr_t id = s.next_handle;
    s.next_handle += 4;
    s.open_files[id] = OpenFile{named, file, 0};
    *result = reinterpret_cast<FileHandle>(id);
    return status;
}

FileError file_query(FileHandle file, FileInformation *information) {
    *information = FileInformation{};
    RegStatus injected = 0;
    if (injected_failure(Op::FileQuery, &injected))
        return static_cast<FileError>(injected);
    OpenFile *open = open_file_of(file, "query");
    if (!open)
        return 6; // ERROR_INVALID_HANDLE
    const FakeFile &facts = *open->file;
    information->kind = FILE_KIND_DISK;
    information->attributes = facts.attributes | (facts.folder ? FILE_ATTR_FOLDER : 0) |
                              (facts.reparse_tag ? FILE_ATTR_REPARSE_POINT : 0) |
                              (facts.folder ? 0 : FILE_ATTR_ARCHIVE);
    information->reparse_tag = facts.reparse_tag;
    information->size = facts.folder ? 0 : facts.content.size();
    information->written = facts.written;
    information->volume_serial = FAKE_VOLUME_SERIAL;
    information->file_index = facts.index;
    return FILE_SUCCESS;
}

FileError file_read(FileHandle file, unsigned char *buffer, unsigned long bytes,
                    unsigned long *done) {
    *done = 0;
    RegStatus injected = 0;
    if (injected_failure(Op::FileRead, &injected))
        return static_cast<FileError>(injected);
    OpenFile *open = open_file_of(file, "read");
    if (!open)
        return 6; // ERROR_INVALID_HANDLE
    const std::string &content = open->file->content;
    std::size_t count = open->position < content.size()
                            ? std::min<std::size_t>(bytes, content.size() - open->position)
                            : 0;
    std::copy_n(content.data() + open->position, count, buffer);
    open->position += count;
    *done = static_cast<unsigned long>(count);
    return FILE_SUCCESS;
}

// As for the registry's close: a failing close still lets go of the handle.
FileError file_close(FileHandle file) {
    State &s = state();
    if (!open_file_of(file, "close"))
        return 6; // ERROR_INVALID_HANDLE
    s.open_files.erase(reinterpret_cast<std::uintptr_t>(file));
    RegStatus injected = 0;
    return injected_failure(Op::FileClose, &injected) ? static_cast<FileError>(injected)
                                                      : FILE_SUCCESS;
}

FileError sha256_begin(Sha256Hash *result) {
    State &s = state();
    *result = nullptr;
    RegStatus injected = 0;
    if (injected_failure(Op::Sha256Begin, &injected))
        return static_cast<FileError>(injected);
    DigestContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return 14; // ERROR_OUTOFMEMORY
    std::uintptr_t id = s.next_handle;
    s.next_handle += 4;
    s.hashes.emplace(id, std::move(context));
    *result = reinterpret_cast<Sha256Hash>(id);
    return FILE_SUCCESS;
}

FileError sha256_add(Sha256Hash hash, const unsigned char *bytes, unsigned long count) {
    RegStatus injected = 0;
    if (injected_failure(Op::Sha256Add, &injected))
        return static_cast<FileError>(injected);
    EVP_MD_CTX *context = hash_of(hash, "add to");
    return context && EVP_DigestUpdate(context, bytes, count) == 1 ? FILE_SUCCESS : 6;
}

FileError sha256_end(Sha256Hash hash, unsigned char *digest) {
    RegStatus injected = 0;
    if (injected_failure(Op::Sha256End, &injected))
        return static_cast<FileError>(injected);
    EVP_MD_CTX *context = hash_of(hash, "end");
    unsigned int size = 0;
    return context && EVP_DigestFinal_ex(context, digest, &size) == 1 && size == SHA256_BYTES
               ? FILE_SUCCESS
               : 6;
}

void sha256_close(Sha256Hash hash) {
    if (hash == nullptr)
        return;
    if (hash_of(hash, "close"))
        state().hashes.erase(reinterpret_cast<std::uintptr_t>(hash));
}

char16_t *environment_block_w() {
    State &s = state();
    if (injected_failure(Op::EnvironmentBlockW, nullptr))
        return nullptr;
    auto block = std::make_unique<char16_t[]>(s.environment.size());
    std::copy(s.environment.begin(), s.environment.end(), block.get());
    char16_t *given = block.get();
    s.environment_blocks[given] = std::move(block);
    return given;
}

void environment_free_w(char16_t *block) {
    if (state().environment_blocks.erase(block) == 0)
        problem("environment block freed that was not handed out");
}

unsigned windows_folder_w(char16_t *buffer, unsigned capacity) {
    const std::u16string &folder = state().windows_folder;
    if (injected_failure(Op::WindowsFolderW, nullptr))
        return 0;
    if (folder.size() + 1 > capacity)
        return static_cast<unsigned>(folder.size() + 1);
    std::copy(folder.begin(), folder.end(), buffer);
    buffer[folder.size()] = u'\0';
    return static_cast<unsigned>(folder.size());
}

int message_box(const char *text, const char *caption, unsigned style) {
    State &s = state();
    if (injected_failure(Op::MessageBox, nullptr))
        return 0;
    s.boxes.push_back(BoxShown{text, caption, style});
    return s.box_answer;
}

GlobalBlock global_alloc(unsigned flags, std::size_t bytes) {
    State &s = state();
    if (injected_failure(Op::GlobalAlloc, nullptr))
        return nullptr;
    if (flags != GLOBAL_MOVEABLE_SHARE)
        problem("global block allocated with flags " + std::to_string(flags));
    std::uintptr_t id = s.next_block;
    s.next_block += 4;
    s.blocks[id].bytes.assign(bytes, '\xCD');
    s.global_bytes += bytes;
    note_allocation();
    return reinterpret_cast<GlobalBlock>(id);
}

void *global_lock(GlobalBlock block) {
    if (injected_failure(Op::GlobalLock, nullptr))
        return nullptr;
    Block *b = block_of(block, "lock");
    if (!b)
        return nullptr;
    b->locked = true;
    return &b->bytes[0];
}

void global_unlock(GlobalBlock block) {
    injected_failure(Op::GlobalUnlock, nullptr);
    Block *b = block_of(block, "unlock");
    if (b)
        b->locked = false;
}

GlobalBlock global_free(GlobalBlock block) {
    Block *b = block_of(block, "free");
    if (injected_failure(Op::GlobalFree, nullptr))
        return block;
    if (!b)
        return block;
    b->freed = true;
    b->locked = false;
    release_global_bytes(*b);
    return nullptr;
}

bool clipboard_open() {
    State &s = state();
    if (injected_failure(Op::ClipboardOpen, nullptr))
        return false;
    if (s.clipboard_is_open)
        problem("clipboard opened twice");
    s.clipboard_is_open = true;
    s.clipboard.opened++;
    return true;
}

bool clipboard_empty() {
    State &s = state();
    if (!s.clipboard_is_open)
        problem("clipboard emptied while not open");
    if (injected_failure(Op::ClipboardEmpty, nullptr))
        return false;
    s.clipboard.emptied++;
    s.clipboard.holds_data = false;
    return true;
}

bool clipboard_set_data(unsigned format, GlobalBlock block) {
    State &s = state();
    if (!s.clipboard_is_open)
        problem("clipboard data set while not open");
    Block *b = block_of(block, "SetClipboardData");
    if (injected_failure(Op::ClipboardSetData, nullptr) || !b)
        return false;
    if (b->locked)
        problem("global block handed to the clipboard while locked");
    b->owned_by_clipboard = true;
    s.clipboard.holds_data = true;
    s.clipboard.format = format;
    s.clipboard.bytes = b->bytes;
    release_global_bytes(*b);
    return true;
}

bool clipboard_close() {
    State &s = state();
    if (!s.clipboard_is_open)
        problem("clipboard closed while not open");
    s.clipboard_is_open = false;
    s.clipboard.closed++;
    return !injected_failure(Op::ClipboardClose, nullptr);
}

void *heap_alloc(std::size_t bytes) {
    State &s = state();
    if (injected_failure(Op::HeapAlloc, nullptr))
        return nullptr;
    void *block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block) {
        s.heap[block] = bytes;
        s.heap_bytes += bytes;
        note_allocation();
    }
    return block;
}

// Counted as a heap allocation, so that the allocation sweeps fail it too.
void *heap_realloc(void *block, std::size_t bytes) {
    State &s = state();
    auto found = s.heap.find(block);
    if (found == s.heap.end()) {
        problem("heap block resized that is not allocated");
        return nullptr;
    }
    if (injected_failure(Op::HeapAlloc, nullptr))
        return nullptr;
    void *resized = std::realloc(block, bytes == 0 ? 1 : bytes);
    if (!resized)
        return nullptr;
    s.heap_bytes = s.heap_bytes - found->second + bytes;
    s.heap.erase(found);
    s.heap[resized] = bytes;
    note_allocation();
    return resized;
}

void heap_free(void *block) {
    if (!block)
        return;
    State &s = state();
    auto found = s.heap.find(block);
    if (found == s.heap.end()) {
        problem("heap block freed that is not allocated");
        return;
    }
    s.heap_bytes -= found->second;
    s.heap.erase(found);
    std::free(block);
}
