// Counts every allocation of the process, whoever makes it: operator new, jsoncpp's own
// string copies and the C library all end in these three, so wrapping them here (the
// executable's definitions take precedence over the C library's) catches what counting
// operator new alone would miss. No header is included: the C library declares these
// with attributes that a redefinition would have to repeat exactly.
#include "alloc_count.h"

using size_type = decltype(sizeof 0);

extern "C" {
void* __libc_malloc(size_type size);
void* __libc_calloc(size_type count, size_type size);
void* __libc_realloc(void* block, size_type size);
}

namespace {
unsigned long long allocations = 0;
}

namespace kv830bench {
unsigned long long allocation_count() {
    return __atomic_load_n(&allocations, __ATOMIC_RELAXED);
}
}  // namespace kv830bench

extern "C" {

void* malloc(size_type size) {
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
    return __libc_malloc(size);
}

void* calloc(size_type count, size_type size) {
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_type size) {
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
    return __libc_realloc(block, size);
}
}
