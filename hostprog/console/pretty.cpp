#include "pretty.h"

#include <json/reader.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

namespace kv830host {

namespace {

enum Unit {
    kTower1,
    kTower2,
    kTower3,
    kTower4,
    kCirculatingPump,
    kSelfCirculatingPump,
    kMakeUpPump,
    kScrewChiller,
    kPlateExchanger,
    kValves,
    kDosing,
    kPowerMeter,
    kSystem,
    kUnitCount
};

const char* const kUnitTitles[kUnitCount] = {
    "Cooling tower 1#",
    "Cooling tower 2#",
    "Cooling tower 3#",
    "Cooling tower 4#",
    "Circulating pump",
    "Self-circulating pump",
    "Make-up pump",
    "Screw chiller",
    "Plate exchanger",
    "Valves DV1-DV13",
    "Dosing and side-stream",
    "Power meter",
    "System, setpoints and alarms",
};

bool has(const std::string& key, const char* part) {
    return key.find(part) != std::string::npos;
}

// By the words of the controller's own signal names. Alarms and their limits stay
// together with the system whichever unit they watch, as the operator reads them there.
Unit unit_of(const std::string& key) {
    if (has(key, "报警")) {
        return kSystem;
    }
    static const char* const towers[] = {"1#冷却塔", "2#冷却塔", "3#冷却塔", "4#冷却塔"};
    for (int i = 0; i < 4; ++i) {
        if (has(key, towers[i])) {
            return static_cast<Unit>(kTower1 + i);
        }
    }
    if (has(key, "自循环")) {
        return kSelfCirculatingPump;
    }
    if (has(key, "循环泵")) {
        return kCirculatingPump;
    }
    if (has(key, "补水泵")) {
        return kMakeUpPump;
    }
    if (has(key, "螺杆机") || has(key, "制冷机组")) {
        return kScrewChiller;
    }
    if (has(key, "板换")) {
        return kPlateExchanger;
    }
    if (key.rfind("DV", 0) == 0) {
        return kValves;
    }
    if (has(key, "加药") || has(key, "旁流")) {
        return kDosing;
    }
    if (has(key, "电表")) {
        return kPowerMeter;
    }
    return kSystem;
}

int valve_number(const std::string& key) {
    if (key.rfind("DV", 0) != 0) {
        return 0;
    }
    // The digits after "DV"; a name without them sorts first.
    return static_cast<int>(std::strtol(key.c_str() + 2, nullptr, 10));
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
    std::vector<std::pair<std::string, std::string>> units[kUnitCount];
    for (const std::string& key : doc.getMemberNames()) {
        units[unit_of(key)].emplace_back(key, value_text(doc[key]));
    }
    std::stable_sort(
        units[kValves].begin(), units[kValves].end(),
        [](const auto& a, const auto& b) { return valve_number(a.first) < valve_number(b.first); });
    std::ostringstream out;
    for (int u = 0; u < kUnitCount; ++u) {
        if (units[u].empty()) {
            continue;
        }
        std::size_t width = 0;
        for (const auto& row : units[u]) {
            width = std::max(width, display_width(row.first));
        }
        out << "== " << kUnitTitles[u] << " (" << units[u].size() << ")\n";
        for (const auto& row : units[u]) {
            out << "  " << row.first << std::string(width - display_width(row.first) + 2, ' ')
                << row.second << "\n";
        }
    }
    return out.str();
}

}  // namespace kv830host
