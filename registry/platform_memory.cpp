// In-memory implementation of the platform interface's registry and heap calls, for clsid-scan.
#include "registry/platform_memory.h"

#include <cstdlib>
#include <new>

namespace {

// An open key. The handle the frame holds is the address of one of these.
struct MemoryHandle {
    std::shared_ptr<MemoryKey> key;
};

struct ThreadRegistry {
    const MemoryRegistry *registry = nullptr;
    MemoryHandle classes_root;
    int open_handles = 0;
};

thread_local ThreadRegistry current;

// The key behind a handle, or NULL with the status to answer: deleted keys answer as the system's
// do, and a thread without a registry finds nothing.
MemoryKey *key_of(RegKey handle, RegStatus *status) {
    MemoryHandle *open = reinterpret_cast<MemoryHandle *>(handle);
    if (!current.registry || !open || !open->key) {
        *status = REG_ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    if (open->key->deleted) {
        *status = REG_ERROR_KEY_DELETED;
        return nullptr;
    }
    return open->key.get();
}

} // namespace

void memory_platform_use(const MemoryRegistry &registry,
                         const std::shared_ptr<MemoryKey> &classes_root) {
    current.registry = &registry;
    current.classes_root.key = classes_root;
}

MemoryKey *memory_key_of(RegKey key) {
    RegStatus status;
    return key_of(key, &status);
}

int memory_platform_open_handles() {
    return current.open_handles;
}

RegKey reg_classes_root() {
    return reinterpret_cast<RegKey>(&current.classes_root);
}

RegStatus reg_open_key(RegKey parent, const char *name, unsigned long, RegKey *result) {
    *result = nullptr;
    RegStatus status = REG_SUCCESS;
    MemoryKey *from = key_of(parent, &status);
    if (!from)
        return status;
    std::shared_ptr<MemoryKey> found;
    status =
        memory_open(*current.registry, reinterpret_cast<MemoryHandle *>(parent)->key, name, found);
    if (status != REG_SUCCESS)
        return status;
    MemoryHandle *open = new (std::nothrow) MemoryHandle{std::move(found)};
    if (!open)
        return REG_ERROR_OUTOFMEMORY;
    current.open_handles++;
    *result = reinterpret_cast<RegKey>(open);
    return REG_SUCCESS;
}

RegStatus reg_enum_key(RegKey key, unsigned long index, char *name, unsigned long *name_chars) {
    RegStatus status = REG_SUCCESS;
    MemoryKey *node = key_of(key, &status);
    return node ? memory_enum_key(*current.registry, *node, index, name, name_chars) : status;
}

RegStatus reg_enum_value(RegKey key, unsigned long index, char *name, unsigned long *name_chars,
                         unsigned long *type, unsigned char *data, unsigned long *data_bytes) {
    RegStatus status = REG_SUCCESS;
    MemoryKey *node = key_of(key, &status);
    return node ? memory_enum_value(*current.registry, *node, index, name, name_chars, type, data,
                                    data_bytes)
                : status;
}

RegStatus reg_close_key(RegKey key) {
    MemoryHandle *open = reinterpret_cast<MemoryHandle *>(key);
    if (!open || open == &current.classes_root)
        return REG_SUCCESS;
    delete open;
    current.open_handles--;
    return REG_SUCCESS;
}

void *heap_alloc(std::size_t bytes) {
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void *heap_realloc(void *block, std::size_t bytes) {
    return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void heap_free(void *block) {
    std::free(block);
}
