// What the whole process has allocated.
#pragma once

namespace kv830bench {
// Allocations made since the process started.
unsigned long long allocation_count();
// Bytes of the heap held by live blocks, each block's header included.
long long heap_held();
}  // namespace kv830bench
