// Heap preparation where the C library offers no way to it: the heap grows as it is used.
#include "evidence/heap_reserve.h"

void reserve_heap(std::size_t) {}
