// Counts every allocation of the process, whoever makes it, and the bytes the live ones
// hold: operator new, jsoncpp's own string copies and the C library all end in these
// functions, so wrapping them here (the executable's definitions take precedence over the
// C library's) catches what counting operator new alone would miss. No header is
// included: the C library declares these with attributes that a redefinition would have
// to repeat exactly.
#include "alloc_count.h"

using size_type = decltype(sizeof 0);

// The C library's own entry points keep their reserved names.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
void* __libc_malloc(size_type size);
void* __libc_calloc(size_type count, size_type size);
void* __libc_realloc(void* block, size_type size);
void __libc_free(void* block);
size_type malloc_usable_size(void* block);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

unsigned long long allocations = 0;
long long live_bytes = 0;
long long live_blocks = 0;

// The allocator's header of each block on this machine: one size word.
constexpr long long kBlockHeader = static_cast<long long>(sizeof(size_type));

void count_allocation() {
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
}

void held(long long bytes, long long blocks) {
    __atomic_add_fetch(&live_bytes, bytes, __ATOMIC_RELAXED);
    __atomic_add_fetch(&live_blocks, blocks, __ATOMIC_RELAXED);
}

void* taken(void* block) {
    if (block != nullptr) {
        held(static_cast<long long>(malloc_usable_size(block)), 1);
    }
    return block;
}

}  // namespace

namespace kv830bench {

unsigned long long allocation_count() {
    return __atomic_load_n(&allocations, __ATOMIC_RELAXED);
}

long long heap_held() {
    return __atomic_load_n(&live_bytes, __ATOMIC_RELAXED) +
           __atomic_load_n(&live_blocks, __ATOMIC_RELAXED) * kBlockHeader;
}

}  // namespace kv830bench

extern "C" {

void* malloc(size_type size) {
    count_allocation();
    return taken(__libc_malloc(size));
}

void* calloc(size_type count, size_type size) {
    count_allocation();
    return taken(__libc_calloc(count, size));
}

void* realloc(void* block, size_type size) {
    count_allocation();
    const size_type old_size = block != nullptr ? malloc_usable_size(block) : 0;
    void* moved = __libc_realloc(block, size);
    if (moved == nullptr && size != 0) {
        return nullptr;  // the old block is still held as it was
    }
    if (block != nullptr) {
        held(-static_cast<long long>(old_size), -1);
    }
    return taken(moved);
}

void free(void* block) {
    if (block != nullptr) {
        held(-static_cast<long long>(malloc_usable_size(block)), -1);
    }
    __libc_free(block);
}
}
