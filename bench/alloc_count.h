// Allocations made by the whole process since it started.
#pragma once

namespace kv830bench {
unsigned long long allocation_count();
}  // namespace kv830bench
