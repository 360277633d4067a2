// The signal snapshot: one JSON object of every named signal, rebuilt at most once per
// completed round and serialised at most once per rebuild.
#include <json/writer.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kv830.h"
#include "kv830_signals.h"

namespace {

// Record offset of the register or input byte a row reads.
std::size_t source_offset(const kv830::SignalRow& row) {
    return row.kind == kv830::SignalKind::Input ? kv830::input_offset(row.source)
                                                : kv830::register_offset(row.source);
}

std::string format_update_time(const TTime& t) {
    std::ostringstream text;
    text << static_cast<int>(t.year) << "-" << static_cast<int>(t.month) << "-"
         << static_cast<int>(t.day) << " " << static_cast<int>(t.hour) << ":"
         << static_cast<int>(t.minute) << ":" << static_cast<int>(t.second);
    return text.str();
}

// One member of the document and the row that writes it last; row == kSignalCount is
// the update time.
struct MemberSource {
    std::uint16_t row;
    std::uint16_t key_length;
    std::uint16_t offset;  // of the register or the input byte in the record
};

// The members in the order the document keeps them: jsoncpp sorts an object's keys by
// their bytes, shorter first on a common prefix, as std::string compares. A rebuild can
// then walk the document once instead of looking up 298 keys in its tree, which costs
// more than the assignments themselves.
const std::vector<MemberSource>& members_in_document_order() {
    static const std::vector<MemberSource> members = [] {
        std::map<std::string, MemberSource> by_key;
        for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
            const kv830::SignalRow& row = kv830::kSignals[i];
            const std::size_t offset = source_offset(row);
            by_key[row.key] = {static_cast<std::uint16_t>(i),
                               static_cast<std::uint16_t>(std::strlen(row.key)),
                               static_cast<std::uint16_t>(offset)};
        }
        by_key[kv830::kUpdateTimeKey] = {
            static_cast<std::uint16_t>(kv830::kSignalCount),
            static_cast<std::uint16_t>(std::strlen(kv830::kUpdateTimeKey)),
            static_cast<std::uint16_t>(offsetof(KV830_Data_t, timestamp))};
        std::vector<MemberSource> sorted;
        sorted.reserve(by_key.size());
        for (const auto& entry : by_key) {
            sorted.push_back(entry.second);
        }
        return sorted;
    }();
    return members;
}

// A text member that already holds the text keeps its copy instead of a fresh one.
void assign_text(Json::Value& member, const char* text, std::size_t length) {
    const char* begin = nullptr;
    const char* end = nullptr;
    if (member.isString() && member.getString(&begin, &end) &&
        static_cast<std::size_t>(end - begin) == length && std::memcmp(begin, text, length) == 0) {
        return;
    }
    member = Json::Value(text, text + length);
}

// Gives a member the value its row reads at `value` in the record.
void assign_signal(Json::Value& member, const kv830::SignalRow& row, const unsigned char* value) {
    if (row.kind == kv830::SignalKind::Input) {
        member = static_cast<double>(*value);
        return;
    }
    std::uint16_t reg = 0;
    std::memcpy(&reg, value, sizeof reg);
    switch (row.kind) {
        case kv830::SignalKind::Bit:
            // Unsigned throughout: the shift of a promoted int is a sign conversion
            // that the shift sanitizer's instrumentation makes the compiler report.
            member = static_cast<int>((static_cast<unsigned>(reg) >> row.bit) & 1U);
            break;
        case kv830::SignalKind::Value:
            member = static_cast<double>(reg);
            break;
        case kv830::SignalKind::Enum: {
            const char* text = reg == 0 ? row.text0 : reg == 1 ? row.text1 : kv830::kInvalidText;
            assign_text(member, text, std::strlen(text));
            break;
        }
        case kv830::SignalKind::Input:
            break;
    }
}

// Replaces every member's value in place, as assigning through operator[] would, when the
// document holds exactly the members a rebuild writes. Returns false, perhaps halfway,
// when it does not (the first rebuild, or a document changed through the 803 address);
// the caller then assigns every member by key.
bool reassign_in_place(Json::Value& document, const unsigned char* record,
                       const std::string& update_time) {
    const std::vector<MemberSource>& members = members_in_document_order();
    if (!document.isObject() || document.size() != members.size()) {
        return false;
    }
    auto it = document.begin();
    for (const MemberSource& source : members) {
        const bool is_time = source.row == kv830::kSignalCount;
        const char* key = is_time ? kv830::kUpdateTimeKey : kv830::kSignals[source.row].key;
        const char* end = nullptr;
        const char* name = it.memberName(&end);
        if (name == nullptr || static_cast<std::size_t>(end - name) != source.key_length ||
            std::memcmp(name, key, source.key_length) != 0) {
            return false;
        }
        Json::Value& member = *it;
        ++it;
        if (is_time) {
            assign_text(member, update_time.data(), update_time.size());
            continue;
        }
        assign_signal(member, kv830::kSignals[source.row], record + source.offset);
    }
    return true;
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
    // The document's address, as the target's pointer: 4 or 8 bytes.
    void* const document = &json_value_;
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
    TTime stamp{};
    std::memcpy(&stamp, record + offsetof(KV830_Data_t, timestamp), sizeof stamp);
    const std::string update_time = format_update_time(stamp);
    if (reassign_in_place(json_value_, record, update_time)) {
        return;
    }
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        assign_signal(json_value_[row.key], row, record + source_offset(row));
    }
    json_value_[kv830::kUpdateTimeKey] = update_time;
}
