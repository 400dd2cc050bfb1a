// Counts the heap blocks the process hands out (malloc, calloc, realloc and, through them,
// operator new), so that a test or a benchmark can show that a path allocates nothing.
#pragma once

#include <cstdint>

namespace perf {

// Blocks handed out since the process started.
uint64_t HeapAllocations();

}  // namespace perf
