// The platform interface's registry and heap over an in-memory registry, for clsid-scan.
//
// Each thread walks the registry it was given with memory_platform_use: HKEY_CLASSES_ROOT is the
// key handed there, so a walk of the 32-bit view is handed the Wow6432Node key, which is what
// the system's redirection shows a 32-bit program. The message box and clipboard calls are not
// provided: clsid-scan prints its reports instead.
#pragma once

#include "registry/memory_registry.h"

// Makes `classes_root` (a key of `registry`) this thread's HKEY_CLASSES_ROOT. Both must outlive
// the walks that follow.
void memory_platform_use(const MemoryRegistry &registry,
                         const std::shared_ptr<MemoryKey> &classes_root);

// The key behind an open handle of this thread's registry; NULL for a handle it did not open.
MemoryKey *memory_key_of(RegKey key);

// The number of handles this thread has open now.
int memory_platform_open_handles();
