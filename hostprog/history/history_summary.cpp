#include "history_summary.h"

#include <algorithm>

#include "kv830_data.h"

namespace kv830host {

namespace {

constexpr unsigned char kSummaryVersion = 1;
constexpr std::size_t kPlanes = 2;

std::uint16_t slot_value(const unsigned char* record, const SummarySlot& slot) {
    return static_cast<std::uint16_t>(record[slot.offset] |
                                      (slot.width == 2 ? record[slot.offset + 1] << 8 : 0));
}

void put_word(std::vector<unsigned char>& out, std::uint16_t v) {
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

}  // namespace

const std::vector<SummarySlot>& summary_slots() {
    static const std::vector<SummarySlot> slots = [] {
        std::vector<SummarySlot> built;
        for (const kv830::PollStep& step : kv830::kPollChain) {
            const bool inputs = step.source == kv830::Source::InputBits;
            for (int i = 0; i < step.count; ++i) {
                const std::size_t at = step.offset + static_cast<std::size_t>(i) * (inputs ? 1 : 2);
                built.push_back(
                    {static_cast<std::uint16_t>(at), static_cast<std::uint8_t>(inputs ? 1 : 2)});
            }
        }
        return built;
    }();
    return slots;
}

int summary_slot_at(std::size_t offset) {
    const std::vector<SummarySlot>& slots = summary_slots();
    const auto it =
        std::lower_bound(slots.begin(), slots.end(), offset,
                         [](const SummarySlot& s, std::size_t at) { return s.offset < at; });
    return it != slots.end() && it->offset == offset ? static_cast<int>(it - slots.begin()) : -1;
}

bool summarised(int record_type, std::size_t record_size) {
    return record_type == kv830::kRecordType && record_size == kv830::kRecordSize;
}

void Summary::add(const unsigned char* record) {
    const std::vector<SummarySlot>& slots = summary_slots();
    if (empty()) {
        low.assign(slots.size(), 0xFFFF);
        high.assign(slots.size(), 0);
    }
    for (std::size_t k = 0; k < slots.size(); ++k) {
        const std::uint16_t v = slot_value(record, slots[k]);
        low[k] = std::min(low[k], v);
        high[k] = std::max(high[k], v);
    }
}

void Summary::merge(const Summary& other) {
    if (other.empty()) {
        return;
    }
    if (empty()) {
        *this = other;
        return;
    }
    for (std::size_t k = 0; k < low.size() && k < other.low.size(); ++k) {
        low[k] = std::min(low[k], other.low[k]);
        high[k] = std::max(high[k], other.high[k]);
    }
}

void encode_summary(const Summary& s, Compressor& compressor, std::vector<unsigned char>& out) {
    out.clear();
    if (s.empty()) {
        return;
    }
    const std::size_t n = s.low.size();
    std::vector<unsigned char> raw;
    raw.reserve(3 + kPlanes * 2 * n);
    raw.push_back(kSummaryVersion);
    put_word(raw, static_cast<std::uint16_t>(n));
    for (std::size_t k = 0; k < n; ++k) {
        put_word(raw, s.low[k]);
    }
    for (std::size_t k = 0; k < n; ++k) {
        put_word(raw, static_cast<std::uint16_t>(s.high[k] - s.low[k]));
    }
    compressor.compress(raw.data(), raw.size(), out);
}

bool decode_summary(const unsigned char* blob, std::size_t size, Compressor& compressor,
                    Summary& out) {
    const std::size_t n = summary_slots().size();
    std::vector<unsigned char> raw;
    if (!compressor.decompress(blob, size, 3 + kPlanes * 2 * n, raw) ||
        raw.size() != 3 + kPlanes * 2 * n || raw[0] != kSummaryVersion ||
        static_cast<std::size_t>(raw[1] | raw[2] << 8) != n) {
        return false;
    }
    const auto word = [&](std::size_t plane, std::size_t k) {
        const std::size_t at = 3 + 2 * (plane * n + k);
        return static_cast<std::uint16_t>(raw[at] | raw[at + 1] << 8);
    };
    out.low.resize(n);
    out.high.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        out.low[k] = word(0, k);
        out.high[k] = static_cast<std::uint16_t>(out.low[k] + word(1, k));
    }
    return true;
}

}  // namespace kv830host
