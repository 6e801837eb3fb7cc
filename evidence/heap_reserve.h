// Making room on the heap for the tree of a large source, before it is built.
//
// A hive or export of tens of megabytes becomes a tree of a million small blocks. Where the first
// touch of each fresh heap page costs a page fault (costly on virtual machines), those faults took
// about half of a scan's time. The Linux build grows the heap once by about what the tree will take
// and asks the kernel to back it with huge pages (heap_reserve_glibc.cpp); other builds do nothing
// (heap_reserve_none.cpp). Only speed depends on it: where the system refuses, nothing changes.
#pragma once

#include <cstddef>

// Prepares the heap for about `bytes` more of small allocations made by this thread.
void reserve_heap(std::size_t bytes);
