#include "pretty.h"

#include <json/reader.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "kv830_signals.h"

namespace kv830host {

namespace {

// The signals of each plant unit in the order the signal table lists them, as the page
// shows them. A name the table does not know (the update time) goes with the system.
struct Placed {
    kv830::Unit unit = kv830::Unit::System;
    std::size_t order = 0;
};

Placed place_of(const std::string& key) {
    static const std::map<std::string, Placed> places = [] {
        std::map<std::string, Placed> out;
        for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
            // A name listed twice keeps its first place; both rows name the same unit.
            out.emplace(kv830::kSignals[i].key, Placed{kv830::kSignals[i].unit, i + 1});
        }
        return out;
    }();
    const auto it = places.find(key);
    return it == places.end() ? Placed{} : it->second;
}

// Columns a terminal gives the text: East Asian characters take two.
std::size_t display_width(const std::string& s) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        unsigned cp = c;
        std::size_t len = 1;
        if (c >= 0xF0) {
            len = 4;
            cp = c & 0x07U;
        } else if (c >= 0xE0) {
            len = 3;
            cp = c & 0x0FU;
        } else if (c >= 0xC0) {
            len = 2;
            cp = c & 0x1FU;
        }
        for (std::size_t k = 1; k < len && i + k < s.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3FU);
        }
        width += cp >= 0x2E80 ? 2 : 1;
        i += len;
    }
    return width;
}

std::string value_text(const Json::Value& v) {
    if (v.isString()) {
        return v.asString();
    }
    if (v.isNumeric()) {
        const double d = v.asDouble();
        if (std::floor(d) == d && std::fabs(d) < 1e15) {
            return std::to_string(static_cast<long long>(d));
        }
        std::ostringstream text;
        text << d;
        return text.str();
    }
    if (v.isBool()) {
        return v.asBool() ? "true" : "false";
    }
    return v.toStyledString();
}

}  // namespace

std::string pretty_snapshot(const std::string& snapshot_text) {
    Json::Value doc;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(snapshot_text);
    if (!Json::parseFromStream(builder, in, &doc, &errors) || !doc.isObject()) {
        return "(no snapshot: the device has no completed round yet)\n";
    }
    // (place in the table, name, value) per unit
    using Row = std::pair<std::size_t, std::pair<std::string, std::string>>;
    std::vector<Row> units[kv830::kUnitCount];
    for (const std::string& key : doc.getMemberNames()) {
        const Placed place = place_of(key);
        units[static_cast<std::size_t>(place.unit)].push_back({
            place.order, {key, value_text(doc[key])}
        });
    }
    std::ostringstream out;
    for (std::size_t u = 0; u < kv830::kUnitCount; ++u) {
        if (units[u].empty()) {
            continue;
        }
        std::sort(units[u].begin(), units[u].end(),
                  [](const Row& a, const Row& b) { return a.first < b.first; });
        std::size_t width = 0;
        for (const Row& row : units[u]) {
            width = std::max(width, display_width(row.second.first));
        }
        out << "== " << kv830::unit_heading(static_cast<kv830::Unit>(u)) << " (" << units[u].size()
            << ")\n";
        for (const Row& entry : units[u]) {
            const auto& row = entry.second;
            out << "  " << row.first << std::string(width - display_width(row.first) + 2, ' ')
                << row.second << "\n";
        }
    }
    return out.str();
}

}  // namespace kv830host
