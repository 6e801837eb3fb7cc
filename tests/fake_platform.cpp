// In-memory stand-in for the platform interface: faults and records over the in-memory registry.
#include "tests/fake_platform.h"

#include "registry/memory_registry.h"

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

constexpr std::uintptr_t ROOT_HANDLE = 0x10;
constexpr std::uintptr_t FIRST_HANDLE = 0x1000;
constexpr int ANSWER_NO = 7;
constexpr std::size_t OP_COUNT = static_cast<std::size_t>(Op::Any) + 1;

struct State {
    MemoryRegistry registry; // the ANSI form: names and data are the bytes the tests give
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
    if (found == s.open_keys.end()) {
        problem("call on a handle that is not open");
        *status = 6; // ERROR_INVALID_HANDLE
        return nullptr;
    }
    if (found->second.node->deleted) {
        *status = REG_ERROR_KEY_DELETED;
        return nullptr;
    }
    return found->second.node;
}

// The path of the key behind a handle, for the record of a call; "" when calls are not recorded.
std::string path_of(RegKey key) {
    State &s = state();
    if (!s.recording)
        return std::string();
    auto found = s.open_keys.find(reinterpret_cast<std::uintptr_t>(key));
    return found == s.open_keys.end() ? std::string() : path_of_key(*found->second.node);
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

} // namespace

const char *op_name(Op op) {
    static const char *const names[] = {
        "OpenKey",       "EnumKey",        "EnumValue",        "CloseKey",       "MessageBox",
        "HeapAlloc",     "GlobalAlloc",    "GlobalLock",       "GlobalUnlock",   "GlobalFree",
        "ClipboardOpen", "ClipboardEmpty", "ClipboardSetData", "ClipboardClose", "Any"};
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
        report += "registry key left open: '" + path_of_key(*entry.second.node) + "'\n";
    for (const auto &entry : s.blocks)
        if (!entry.second.freed && !entry.second.owned_by_clipboard)
            report += "global block leaked\n";
        else if (entry.second.locked)
            report += "global block left locked\n";
    if (!s.heap.empty())
        report += std::to_string(s.heap.size()) + " heap block(s) leaked\n";
    if (s.clipboard_is_open)
        report += "clipboard left open\n";
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
    s.open_keys[id] = OpenKey{node, access};
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
    if (found == s.open_keys.end()) {
        problem("close of a key handle that is not open (closed twice?)");
        call.status = 6; // ERROR_INVALID_HANDLE
        return record(call);
    }
    // A failed close still lets go of the handle: the program has no other way to release it.
    s.open_keys.erase(found);
    injected_failure(Op::CloseKey, &call.status);
    return record(call);
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
