// Writes the page's signal metadata (signals.json) from the plug-in's signal table, at
// build time, so that the page groups, labels and offers writes from the same rows the
// snapshot is built from.
//
//   kv830_web_signals OUTPUT
//
// Each key appears once, with the row the snapshot keeps (a later row of the same key
// replaces an earlier one). The plant unit (with its English heading) and the setting flag
// are the table's own columns; a table without them leaves the unit empty and offers no
// setting.
#include <json/value.h>
#include <json/writer.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <utility>

#include "kv830_signals.h"

namespace {

// The unit's English heading and its place in the order the page shows the units.
std::pair<std::string, int> unit_of(const kv830::SignalRow& row) {
    const char* heading = unit_heading(row.unit);
    return {heading == nullptr ? std::string() : std::string(heading), static_cast<int>(row.unit)};
}

const char* kind_text(kv830::SignalKind kind) {
    switch (kind) {
        case kv830::SignalKind::Bit:
            return "bit";
        case kv830::SignalKind::Value:
            return "value";
        case kv830::SignalKind::Enum:
            return "enum";
        case kv830::SignalKind::Input:
            return "input";
    }
    return "value";
}

bool contains(const char* text, const char* word) {
    return std::strstr(text, word) != nullptr;
}

// How a two-state signal reads. The controller names its states consistently: fault
// (故障) and alarm (报警) bits, manual/auto (手自动: 1 automatic), local/remote (本地远程:
// 1 remote), running (运行). Limits named "...报警设定值" are values, not alarms, and are
// never asked here.
struct Look {
    const char* word;
    const char* look;
};
constexpr Look kLooks[] = {
    {"故障",       "alarm" },
    {"报警",       "alarm" },
    {"手自动",    "auto"  },
    {"本地远程", "remote"},
    {"运行",       "run"   },
};

const char* look_of(const kv830::SignalRow& row) {
    if (row.kind == kv830::SignalKind::Value) {
        return "";
    }
    for (const Look& l : kLooks) {
        if (contains(row.key, l.word)) {
            return l.look;
        }
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: kv830_web_signals OUTPUT\n";
        return 2;
    }
    // The later row of a key wins, at the place of its first appearance.
    std::map<std::string, std::size_t> last_row;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        last_row[kv830::kSignals[i].key] = i;
    }
    Json::Value signals(Json::arrayValue);
    std::map<std::string, bool> written;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const std::string key = kv830::kSignals[i].key;
        if (written[key]) {
            continue;
        }
        written[key] = true;
        const kv830::SignalRow& row = kv830::kSignals[last_row[key]];
        Json::Value s(Json::objectValue);
        s["name"] = row.key;
        s["kind"] = kind_text(row.kind);
        s["source"] = row.source;
        if (row.kind == kv830::SignalKind::Bit) {
            s["bit"] = row.bit;
        }
        const auto unit = unit_of(row);
        s["unit"] = unit.first;
        s["unit_order"] = unit.second;
        const bool setting = row.setting && row.kind == kv830::SignalKind::Value;
        s["setting"] = setting;
        if (row.kind == kv830::SignalKind::Enum) {
            s["texts"].append(row.text0 == nullptr ? "" : row.text0);
            s["texts"].append(row.text1 == nullptr ? "" : row.text1);
            s["invalid"] = kv830::kInvalidText;
        }
        s["look"] = look_of(row);
        signals.append(s);
    }
    Json::Value doc(Json::objectValue);
    doc["signals"] = signals;
    doc["update_time"] = kv830::kUpdateTimeKey;

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    const std::string text = Json::writeString(builder, doc);
    const std::string tmp = std::string(argv[1]) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text << '\n';
        if (!out.flush()) {
            std::cerr << "kv830_web_signals: cannot write " << tmp << '\n';
            return 1;
        }
    }
    if (std::rename(tmp.c_str(), argv[1]) != 0) {
        std::cerr << "kv830_web_signals: cannot rename " << tmp << '\n';
        return 1;
    }
    return 0;
}
