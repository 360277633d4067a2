// The signal snapshot: one JSON object of every named signal, rebuilt at most once per
// completed round and serialised at most once per rebuild.
#include <json/writer.h>

#include <cstdint>
#include <cstring>
#include <sstream>

#include "kv830.h"
#include "kv830_signals.h"

namespace {

std::uint16_t register_at(const unsigned char* record, int reg) {
    std::uint16_t v = 0;
    std::memcpy(&v, record + kv830::register_offset(reg), sizeof v);
    return v;
}

std::string format_update_time(const TTime& t) {
    std::ostringstream text;
    text << static_cast<int>(t.year) << "-" << static_cast<int>(t.month) << "-"
         << static_cast<int>(t.day) << " " << static_cast<int>(t.hour) << ":"
         << static_cast<int>(t.minute) << ":" << static_cast<int>(t.second);
    return text.str();
}

}  // namespace

int KV830::snapshot_text(void* out, int out_len, int& out_size) {
    // The text is produced and copied under the lock, so a rebuild on another request
    // thread never runs while this one serialises the same document.
    std::lock_guard<std::mutex> lock(json_mutex_);
    refresh_snapshot();
    if (json_text_.empty()) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        json_text_ = Json::FastWriter().write(json_value_);
#pragma GCC diagnostic pop
    }
    const std::size_t size = json_text_.size();
    out_size = static_cast<int>(size);
    if (out == nullptr || out_len < 0 || size > static_cast<std::size_t>(out_len)) {
        return -1;
    }
    std::memcpy(out, json_text_.data(), size);
    return 0;
}

int KV830::snapshot_value(void* out, int out_len, int& out_size) {
    std::lock_guard<std::mutex> lock(json_mutex_);
    refresh_snapshot();
    Json::Value* document = &json_value_;
    out_size = static_cast<int>(sizeof document);
    if (out == nullptr || out_len < static_cast<int>(sizeof document)) {
        return -1;
    }
    std::memcpy(out, &document, sizeof document);
    return 0;
}

// Caller holds json_mutex_.
void KV830::refresh_snapshot() {
    if (update_time_ != json_time_) {
        json_time_ = update_time_;
        build_snapshot();
        json_text_.clear();
    }
}

void KV830::build_snapshot() {
    const unsigned char* record = record_bytes();
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        Json::Value& member = json_value_[row.key];
        switch (row.kind) {
            case kv830::SignalKind::Bit:
                member = static_cast<int>((register_at(record, row.source) >> row.bit) & 1U);
                break;
            case kv830::SignalKind::Value:
                member = static_cast<double>(register_at(record, row.source));
                break;
            case kv830::SignalKind::Enum: {
                const std::uint16_t v = register_at(record, row.source);
                member = v == 0 ? row.text0 : v == 1 ? row.text1 : kv830::kInvalidText;
                break;
            }
            case kv830::SignalKind::Input:
                member = static_cast<double>(record[kv830::input_offset(row.source)]);
                break;
        }
    }
    TTime stamp{};
    std::memcpy(&stamp, record + offsetof(KV830_Data_t, timestamp), sizeof stamp);
    json_value_[kv830::kUpdateTimeKey] = format_update_time(stamp);
}
