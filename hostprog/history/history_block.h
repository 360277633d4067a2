// A block: the consecutive rounds of one device (data id and record type) that one commit
// writes, in one row. Rounds a second apart differ in a few registers, and mostly by a few
// counts, so the block is laid out column by column: for each 16-bit word of the record,
// the change from the round before (zig-zagged, so that small steps either way are small
// numbers) of every round, low bytes then high bytes. A word that does not move is a run
// of zeros, one that wanders a run of small numbers, and the compressor (history_compress.h)
// packs both to little: about 38 bytes a round of the plant model, against 576 raw and 96
// as the patches of history_codec.h. Each block stands alone, so it is pruned, read or
// skipped without its neighbours.
//
// Unpacked form: varint rounds, varint record size, the rounds' times after the first as
// varint zig-zagged steps in milliseconds (the first is the row's `time`), then the planes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "history_compress.h"

namespace kv830host {

// A block ends at this many rounds, or before its rounds would span more than this: a
// reader looking for a time steps back at most the span to find the block that holds it.
constexpr std::size_t kMaxBlockRounds = 600;
constexpr std::int64_t kMaxBlockSpanMs = std::int64_t{5} * 60 * 1000;
// Largest record a block holds, and largest unpacked block a stored row may hold (a larger
// one is bad input), with what a round costs it beyond its record (its time, at most).
constexpr std::size_t kMaxRecordBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxBlockBytes = std::size_t{2} << 20;
constexpr std::size_t kBlockRoundOverhead = 10;

// Packs `count` rounds (1 to kMaxBlockRounds) of `size` bytes each, in time order.
void encode_block(const std::int64_t* times, const unsigned char* const* records, std::size_t count,
                  std::size_t size, Compressor& compressor, std::vector<unsigned char>& out);

// A stored block unpacked: its rounds' times at once, their records or one word of every
// round on demand.
class BlockView {
  public:
    // False when the blob is not a block: nothing of it is then to be used.
    bool open(const unsigned char* blob, std::size_t size, std::int64_t first_ms,
              Compressor& compressor);

    std::size_t rounds() const { return times_.size(); }
    std::size_t record_size() const { return record_size_; }
    std::int64_t time(std::size_t round) const { return times_[round]; }

    // Every record, one after the other.
    void records(std::vector<unsigned char>& out) const;
    // The little-endian word at byte 2 * `word` of every round (a last odd byte as the
    // low byte).
    void words(std::size_t word, std::vector<std::uint16_t>& out) const;

  private:
    std::vector<unsigned char> raw_;
    std::vector<std::int64_t> times_;
    std::size_t record_size_ = 0;
    std::size_t planes_ = 0;  // where the planes start in raw_
};

}  // namespace kv830host
