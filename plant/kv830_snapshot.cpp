// The signal snapshot: one JSON object of every named signal, rebuilt at most once per
// completed round and serialised at most once per rebuild.
#include <json/writer.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "json_text_writer.h"
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
    std::uint16_t offset;           // of the register or the input byte in the record
    std::uint16_t key_text_length;  // of its `"key":` in DocumentPlan::key_texts
    std::uint32_t key_text;
};

// The members in the order the document keeps them: jsoncpp sorts an object's keys by
// their bytes, shorter first on a common prefix, as std::string compares. A rebuild can
// then walk the document once instead of looking up 298 keys in its tree, which costs
// more than the assignments themselves, and write the text as it goes, with every key
// escaped beforehand. Shared by all devices, built once.
struct DocumentPlan {
    std::vector<MemberSource> members;
    std::string key_texts;
    // The longest text the members can give, the update time's value left out: braces,
    // newline, commas, keys and the longest value text of each member's kind.
    std::size_t text_room = 0;
};

std::size_t escaped_length(const char* text) {
    std::string escaped;
    kv830::append_json_string(escaped, text, std::strlen(text));
    return escaped.size();
}

// Longest text of a member's value, the update time's left out.
std::size_t value_text_room(const kv830::SignalRow& row) {
    switch (row.kind) {
        case kv830::SignalKind::Bit:
            return 1;
        case kv830::SignalKind::Value:
            return 5 + 2;  // 65535.0
        case kv830::SignalKind::Input:
            return 3 + 2;  // 255.0
        case kv830::SignalKind::Enum: {
            std::size_t room = escaped_length(kv830::kInvalidText);
            for (const char* text : {row.text0, row.text1}) {
                room = std::max(room, escaped_length(text));
            }
            return room;
        }
    }
    return 0;
}

const DocumentPlan& document_plan() {
    static const DocumentPlan plan = [] {
        std::map<std::string, MemberSource> by_key;
        for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
            const kv830::SignalRow& row = kv830::kSignals[i];
            const std::size_t offset = source_offset(row);
            by_key[row.key] = {static_cast<std::uint16_t>(i),
                               static_cast<std::uint16_t>(std::strlen(row.key)),
                               static_cast<std::uint16_t>(offset), 0, 0};
        }
        by_key[kv830::kUpdateTimeKey] = {
            static_cast<std::uint16_t>(kv830::kSignalCount),
            static_cast<std::uint16_t>(std::strlen(kv830::kUpdateTimeKey)),
            static_cast<std::uint16_t>(offsetof(KV830_Data_t, timestamp)), 0, 0};
        DocumentPlan built;
        built.members.reserve(by_key.size());
        built.text_room = 3 + by_key.size() - 1;
        for (const auto& entry : by_key) {
            MemberSource source = entry.second;
            const std::size_t start = built.key_texts.size();
            kv830::append_json_string(built.key_texts, entry.first.data(), entry.first.size());
            built.key_texts += ':';
            source.key_text = static_cast<std::uint32_t>(start);
            source.key_text_length = static_cast<std::uint16_t>(built.key_texts.size() - start);
            built.text_room += source.key_text_length;
            if (source.row != kv830::kSignalCount) {
                built.text_room += value_text_room(kv830::kSignals[source.row]);
            }
            built.members.push_back(source);
        }
        return built;
    }();
    return plan;
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

// The text of a JSON real that holds a whole number.
char* write_whole_real(char* text, unsigned value) {
    text = kv830::write_decimal(text, value);
    text[0] = '.';
    text[1] = '0';
    return text + 2;
}

// Gives a member the value its row reads at `value` in the record. With `text`, also
// writes the value's JSON text there and returns its end.
char* assign_signal(Json::Value& member, const kv830::SignalRow& row, const unsigned char* value,
                    char* text) {
    if (row.kind == kv830::SignalKind::Input) {
        member = static_cast<double>(*value);
        return text != nullptr ? write_whole_real(text, *value) : text;
    }
    std::uint16_t reg = 0;
    std::memcpy(&reg, value, sizeof reg);
    switch (row.kind) {
        case kv830::SignalKind::Bit: {
            // Unsigned throughout: the shift of a promoted int is a sign conversion
            // that the shift sanitizer's instrumentation makes the compiler report.
            const unsigned bit = (static_cast<unsigned>(reg) >> row.bit) & 1U;
            member = static_cast<int>(bit);
            if (text != nullptr) {
                *text++ = static_cast<char>('0' + bit);
            }
            break;
        }
        case kv830::SignalKind::Value:
            member = static_cast<double>(reg);
            if (text != nullptr) {
                text = write_whole_real(text, reg);
            }
            break;
        case kv830::SignalKind::Enum: {
            const char* name = reg == 0 ? row.text0 : reg == 1 ? row.text1 : kv830::kInvalidText;
            const std::size_t length = std::strlen(name);
            assign_text(member, name, length);
            if (text != nullptr) {
                text = kv830::write_json_string(text, name, length);
            }
            break;
        }
        case kv830::SignalKind::Input:
            break;
    }
    return text;
}

// Replaces every member's value in place, as assigning through operator[] would, when the
// document holds exactly the members a rebuild writes. Returns false, perhaps halfway,
// when it does not (the first rebuild, or a document changed through the 803 address);
// the caller then assigns every member by key.
//
// With `text`, it also leaves the document's compact text there, as our own writer gives
// it: the values are written as they are assigned, so the text shows exactly what the
// document holds. After a false return `text` holds nothing of use.
bool reassign_in_place(Json::Value& document, const unsigned char* record,
                       const std::string& update_time, std::string* text) {
    const DocumentPlan& plan = document_plan();
    if (!document.isObject() || document.size() != plan.members.size()) {
        return false;
    }
    char* out = nullptr;
    if (text != nullptr) {
        // Room for the longest text, taken exactly: growing the string would double its
        // room. Once there, the resize fills only what lies beyond the last text.
        const std::size_t room = plan.text_room + kv830::json_string_room(update_time.size());
        if (text->capacity() < room) {
            std::string exact;
            exact.reserve(room);
            text->swap(exact);
        }
        text->resize(room);
        out = &(*text)[0];
        *out++ = '{';
    }
    const char* const key_texts = plan.key_texts.data();
    bool first = true;
    auto it = document.begin();
    for (const MemberSource& source : plan.members) {
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
        if (out != nullptr) {
            if (!first) {
                *out++ = ',';
            }
            std::memcpy(out, key_texts + source.key_text, source.key_text_length);
            out += source.key_text_length;
        }
        first = false;
        if (is_time) {
            assign_text(member, update_time.data(), update_time.size());
            if (out != nullptr) {
                out = kv830::write_json_string(out, update_time.data(), update_time.size());
            }
            continue;
        }
        out = assign_signal(member, kv830::kSignals[source.row], record + source.offset, out);
    }
    if (out != nullptr) {
        *out++ = '}';
        *out++ = '\n';
        text->resize(static_cast<std::size_t>(out - text->data()));
    }
    return true;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string library_text(const Json::Value& value) {
    return Json::FastWriter().write(value);
}
#pragma GCC diagnostic pop

// Asked once per process: the JSON library is the host's and does not change while the
// plug-in is loaded.
bool own_text_agrees_with_library() {
    static const bool agrees = kv830::json_text_matches(&library_text);
    return agrees;
}

}  // namespace

int KV830::snapshot_text(void* out, int out_len, int& out_size) {
    // The text is produced and copied under the lock, so a rebuild on another request
    // thread never runs while this one serialises the same document.
    std::lock_guard<std::mutex> lock(json_mutex_);
    if (text_writer_ == TextWriter::Unchecked) {
        text_writer_ = own_text_agrees_with_library() ? TextWriter::Own : TextWriter::Library;
    }
    refresh_snapshot(text_writer_ == TextWriter::Own);
    if (json_text_.empty()) {
        write_snapshot_text();
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
    refresh_snapshot(false);
    // The document's address, as the target's pointer: 4 or 8 bytes.
    void* const document = &json_value_;
    out_size = static_cast<int>(sizeof document);
    if (out == nullptr || out_len < static_cast<int>(sizeof document)) {
        return -1;
    }
    std::memcpy(out, &document, sizeof document);
    return 0;
}

// Caller holds json_mutex_. With `with_text` a rebuild may leave the text of the new
// document in json_text_; otherwise json_text_ is emptied and the next 801 writes it.
void KV830::refresh_snapshot(bool with_text) {
    if (update_time_ != json_time_) {
        json_time_ = update_time_;
        if (!build_snapshot(with_text)) {
            json_text_.clear();
        }
    }
}

// Caller holds json_mutex_. The whole text of the document as it stands, changes made
// through the 803 address included.
void KV830::write_snapshot_text() {
    if (text_writer_ != TextWriter::Own) {
        json_text_ = library_text(json_value_);
        return;
    }
    json_text_.clear();
    kv830::append_json_value(json_text_, json_value_);
    json_text_ += '\n';
    // Appending doubles the room as it goes; the device keeps the text, not the room.
    if (json_text_.capacity() - json_text_.size() > json_text_.size() / 4) {
        json_text_.shrink_to_fit();
    }
}

// Returns whether json_text_ holds the new document's text.
bool KV830::build_snapshot(bool with_text) {
    const unsigned char* record = record_bytes();
    TTime stamp{};
    std::memcpy(&stamp, record + offsetof(KV830_Data_t, timestamp), sizeof stamp);
    const std::string update_time = format_update_time(stamp);
    if (reassign_in_place(json_value_, record, update_time, with_text ? &json_text_ : nullptr)) {
        return with_text;
    }
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        assign_signal(json_value_[row.key], row, record + source_offset(row), nullptr);
    }
    json_value_[kv830::kUpdateTimeKey] = update_time;
    return false;
}
