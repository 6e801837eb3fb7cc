// Heap preparation with glibc's malloc on Linux: one growth of the heap, backed by huge pages.
#include "evidence/heap_reserve.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::size_t huge_page = std::size_t(2) << 20;
// Blocks below this size come from the heap rather than from mappings of their own (glibc's
// largest such threshold); the probe below it, allocated and freed, makes the heap grow.
constexpr std::size_t mapping_threshold = std::size_t(32) << 20;
constexpr std::size_t probe_size = mapping_threshold / 2;

} // namespace

void reserve_heap(std::size_t bytes) {
    if (bytes < 8 * huge_page)
        return; // a small tree gains nothing worth the larger heap
    // The heap then grows by at least `bytes` at a time and is not trimmed below that, so the
    // probe's growth is kept for the tree after the probe is freed.
    mallopt(M_TOP_PAD, int(bytes < std::size_t(INT_MAX) ? bytes : std::size_t(INT_MAX)));
    mallopt(M_MMAP_THRESHOLD, int(mapping_threshold));
    auto *before = static_cast<char *>(sbrk(0));
    // The probe is written to, so that the compiler keeps its allocation.
    auto *probe = static_cast<volatile char *>(std::malloc(probe_size));
    if (probe == nullptr)
        return;
    probe[0] = 0;
    std::free(const_cast<char *>(probe));
    auto *after = static_cast<char *>(sbrk(0));
    auto start = (reinterpret_cast<std::uintptr_t>(before) + huge_page - 1) & ~(huge_page - 1);
    auto end = reinterpret_cast<std::uintptr_t>(after);
    if (before != reinterpret_cast<char *>(-1) && end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
}
