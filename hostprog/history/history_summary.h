// What a trend needs of many rounds without reading them: the lowest and the highest value
// of every register and every discrete input the record holds. Kept per block as it is
// committed and per five-minute bin of blocks, so that a month's trend reads a few
// thousand summaries instead of millions of rounds. A bit's trend uses its register's
// summary where the register did not move (a bit that did is read from the rounds: bits
// change seldom). The slots follow the record's layout (the polling chain of
// kv830_data.h), not the signal table, so a stored summary means the same to every version.
//
// Stored form, compressed (history_compress.h): a version byte, the slot count (16 bits),
// then two planes of little-endian 16-bit words, one word per slot each: the lowest value,
// then the highest minus the lowest (zero for a slot that did not move). About 370 bytes,
// so that two summaries share a page of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "history_compress.h"

namespace kv830host {

// Summaries are kept in bins of this width, aligned to the epoch.
constexpr std::int64_t kSummaryBinMs = std::int64_t{5} * 60 * 1000;

struct SummarySlot {
    std::uint16_t offset;  // in the record
    std::uint8_t width;    // 2 for a register, 1 for an input
};

// The slots of the device's record, in record order.
const std::vector<SummarySlot>& summary_slots();
// The slot of a byte offset (a register's first byte, or an input's); -1 for none.
int summary_slot_at(std::size_t offset);
// Whether rounds of this record type and size have summaries.
bool summarised(int record_type, std::size_t record_size);

struct Summary {
    std::vector<std::uint16_t> low, high;  // per slot

    bool empty() const { return low.empty(); }
    // Takes a record of the summarised layout in.
    void add(const unsigned char* record);
    void merge(const Summary& other);
};

// An empty summary (rounds without summaries) is stored as an empty blob.
void encode_summary(const Summary& summary, Compressor& compressor,
                    std::vector<unsigned char>& out);
// False for a blob that is not a summary of this layout (empty ones among them).
bool decode_summary(const unsigned char* blob, std::size_t size, Compressor& compressor,
                    Summary& out);

}  // namespace kv830host
