// The stored form of a history record. A round differs from the one before it in a few
// bytes (the time stamp, the values that moved), so a row holds only the runs of bytes
// that differ from its base: all zeros for the first row of a device in a commit, the
// previous row of the same device after it. A commit is one transaction, so a chain
// never outlives its first row except at the pruned edge, where readers skip it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv830host {

// The `format` column of a row.
enum class RecordFormat : int {
    Raw = 0,     // the record's bytes as they are (rows of older files)
    Sparse = 1,  // a patch against a record of zeros of the same size
    Delta = 2,   // a patch against the previous row of the same data id and record type
};

// Largest record a patch may describe; larger sizes in a stored patch are bad input.
constexpr std::size_t kMaxPatchedRecord = 1U << 20;

// Appends to `out` the patch that turns `base` into `record` (both `size` bytes).
void encode_patch(const unsigned char* base, const unsigned char* record, std::size_t size,
                  std::vector<unsigned char>& out);

// Applies `patch` to `base` (base_size bytes; ignored with base == nullptr, which stands
// for zeros of the patch's size) into `out`. False when the patch is malformed or its
// size does not match a given base: nothing in `out` is then to be trusted.
bool apply_patch(const unsigned char* base, std::size_t base_size, const unsigned char* patch,
                 std::size_t patch_size, std::vector<unsigned char>& out);

}  // namespace kv830host
