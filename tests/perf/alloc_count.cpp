// Heap block counter. Under AddressSanitizer the sanitizer owns malloc, and its allocation
// hook sees every block; elsewhere the C library's allocator is wrapped by name (glibc lets a
// program provide malloc and reaches its own through the __libc_ names).
#include "alloc_count.h"

#include <cstddef>

namespace {
uint64_t g_nAllocations = 0;
}

namespace perf {
uint64_t HeapAllocations() { return g_nAllocations; }
}  // namespace perf

#if defined(__SANITIZE_ADDRESS__)

// The sanitizer runtime's hook interface (GCC ships the runtime without its header).
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*pfnMalloc)(const volatile void*, size_t), void (*pfnFree)(const volatile void*));

namespace {
void OnMalloc(const volatile void*, size_t) { ++g_nAllocations; }
void OnFree(const volatile void*) {}
const int g_nHooked = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
}  // namespace

#else

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
    ++g_nAllocations;
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    ++g_nAllocations;
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    ++g_nAllocations;
    return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
}

#endif
