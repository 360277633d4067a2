// The stored form of a round in files of the previous version, one round a row: the runs
// of bytes that differ from its base, all zeros for the first row of a device in a commit
// (Sparse), the previous row of the same device after it (Delta). A commit was one
// transaction, so a chain never outlives its first row except at the pruned edge, where
// readers skip it. Rows written now are blocks (history_block.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv830host {

// Largest record a patch may describe; larger sizes in a stored patch are bad input.
constexpr std::size_t kMaxPatchedRecord = 1U << 20;

// Applies `patch` to `base` (base_size bytes; ignored with base == nullptr, which stands
// for zeros of the patch's size) into `out`. False when the patch is malformed or its
// size does not match a given base: nothing in `out` is then to be trusted.
bool apply_patch(const unsigned char* base, std::size_t base_size, const unsigned char* patch,
                 std::size_t patch_size, std::vector<unsigned char>& out);

}  // namespace kv830host
