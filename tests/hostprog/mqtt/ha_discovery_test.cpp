#include "ha_discovery.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <map>
#include <memory>
#include <regex>
#include <set>

#include "signal_model.h"
#include "support.h"

namespace {

Json::Value parse_json(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string error;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &error)) << error;
    return v;
}

// What Home Assistant requires of a device-based discovery message and of the components
// we use, checked field by field; returns the problems found.
std::vector<std::string> validate(const Json::Value& root, const std::string& state_topic,
                                  const std::string& availability_topic) {
    std::vector<std::string> problems;
    const std::regex id_chars("^[a-zA-Z0-9_-]+$");
    if (!root.isObject()) {
        return {"not an object"};
    }
    const Json::Value& dev = root["dev"];
    if (!dev.isObject() || !dev["ids"].isArray() || dev["ids"].empty() || !dev["name"].isString()) {
        problems.emplace_back("device without identifiers or name");
    }
    if (!root["o"].isObject() || !root["o"]["name"].isString() ||
        root["o"]["name"].asString().empty()) {
        problems.emplace_back("origin without a name");
    }
    if (root["availability_topic"].asString() != availability_topic) {
        problems.emplace_back("availability is not the status topic");
    }
    if (!root["cmps"].isObject() || root["cmps"].empty()) {
        return {"no components"};
    }
    for (const std::string& id : root["cmps"].getMemberNames()) {
        const Json::Value& c = root["cmps"][id];
        const auto problem = [&](const std::string& what) {
            problems.push_back(std::string(id).append(": ").append(what));
        };
        if (!std::regex_match(id, id_chars)) {
            problem("component id with characters outside [a-zA-Z0-9_-]");
        }
        const std::string platform = c["p"].asString();
        if (platform != "sensor" && platform != "binary_sensor" && platform != "number") {
            problem("platform '" + platform + "'");
        }
        const std::string uid = c["unique_id"].asString();
        if (uid.empty() || !std::regex_match(uid, id_chars)) {
            problem("unique_id missing or not plain ASCII");
        }
        if (!c["name"].isString() || c["name"].asString().empty()) {
            problem("no name");
        }
        const std::string topic = c.isMember("state_topic") ? c["state_topic"].asString()
                                                            : root["state_topic"].asString();
        if (topic.empty()) {
            problem("no state topic");
        }
        if (!c["value_template"].isString() ||
            c["value_template"].asString().find("{{") == std::string::npos) {
            problem("no value template");
        }
        if (platform == "number") {
            if (!(c["min"].asDouble() < c["max"].asDouble()) || !(c["step"].asDouble() >= 0.001) ||
                c["command_topic"].asString().empty() ||
                c["command_template"].asString().find("\"register\":") == std::string::npos) {
                problem("number without range, step or command");
            }
        } else if (!c["expire_after"].isInt() || c["expire_after"].asInt() < 60) {
            problem("expire_after missing or under a minute");
        }
        const std::string device_class = c["device_class"].asString();
        if (platform == "binary_sensor") {
            if (c["payload_on"].asString() != "1" || c["payload_off"].asString() != "0") {
                problem("binary sensor without payload_on 1 and payload_off 0");
            }
            if (topic != state_topic) {
                problem("binary sensor not reading the snapshot");
            }
        } else if (device_class == "enum") {
            if (!c["options"].isArray() || c["options"].size() < 2 || c.isMember("state_class") ||
                c.isMember("unit_of_measurement")) {
                problem("enum sensor without options, or with a state class or unit");
            }
        } else if (device_class == "timestamp") {
            if (c.isMember("state_class")) {
                problem("timestamp sensor with a state class");
            }
        } else if (platform == "sensor" && !c["state_class"].isNull() &&
                   c["state_class"].asString() !=
                       (device_class == "energy" ? "total_increasing" : "measurement")) {
            problem("value sensor with state_class " + c["state_class"].asString());
        }
        if (!device_class.empty() && platform != "binary_sensor" && device_class != "enum" &&
            device_class != "timestamp" && device_class != "ph" &&
            c["unit_of_measurement"].asString().empty()) {
            problem("device class " + device_class + " without a unit");
        }
    }
    return problems;
}

TEST(HaDiscovery, EveryComponentIsCompleteAndCounted) {
    kv830host::MqttConfig config = mqtttest::make_config("mqtt://b", "kv830/1", [] {
        kv830host::MqttSettings s;
        s.ha_discovery = true;
        return s;
    }());
    config.node_id = "gw1";
    const kv830host::DiscoveryMessage message = kv830host::build_ha_discovery(config);
    EXPECT_EQ(message.topic, "homeassistant/device/kv830_gw1_1/config");
    EXPECT_EQ(message.former_topic, "homeassistant/device/kv830_1/config");
    const Json::Value root = parse_json(message.payload);
    for (const std::string& problem : validate(root, "kv830/1/snapshot", "kv830/1/status")) {
        ADD_FAILURE() << problem;
    }
    // 296 signals of the snapshot and its update time.
    EXPECT_EQ(root["cmps"].size(), 297U);
    EXPECT_EQ(message.components, 297U);

    std::map<std::string, int> platforms;
    std::set<std::string> unique_ids;
    std::set<std::string> names;
    for (const std::string& id : root["cmps"].getMemberNames()) {
        const Json::Value& c = root["cmps"][id];
        const std::string key = c["device_class"].asString().empty()
                                    ? c["p"].asString()
                                    : c["p"].asString() + "/" + c["device_class"].asString();
        ++platforms[key];
        unique_ids.insert(c["unique_id"].asString());
        names.insert(c["name"].asString());
    }
    EXPECT_EQ(unique_ids.size(), 297U);
    EXPECT_EQ(names.size(), 297U);
    // 98 register bits and 75 inputs, the alarms among them problems; 119 values and 4
    // enumerations; one timestamp. Without --mqtt-writes no setting is a number.
    EXPECT_EQ(platforms["binary_sensor"] + platforms["binary_sensor/problem"], 98 + 75);
    EXPECT_EQ(message.components - 98 - 75 - 4 - 1, 119U);
    EXPECT_EQ(platforms["sensor/enum"], 4);
    EXPECT_EQ(platforms["sensor/timestamp"], 1);
    EXPECT_EQ(platforms["number"], 0);
    EXPECT_GT(platforms["sensor/temperature"], 20);
    EXPECT_EQ(platforms["sensor/energy"], 1);
    EXPECT_EQ(root["o"]["sw"].asString(), root["dev"]["sw"].asString());
    EXPECT_FALSE(root["o"]["sw"].asString().empty());
    EXPECT_EQ(root["o"]["url"].asString().rfind("https://", 0), 0U);
}

TEST(HaDiscovery, DuplicatedNamesResolveToTheirLaterSource) {
    kv830host::MqttSettings s;
    s.ha_discovery = true;
    const Json::Value root = parse_json(
        kv830host::build_ha_discovery(mqtttest::make_config("mqtt://b", "p", s)).payload);
    const Json::Value& cmps = root["cmps"];
    // "模式切换延时时间" is read from register 6 and then 7; the snapshot shows register 7.
    EXPECT_FALSE(cmps.isMember("hr6"));
    EXPECT_EQ(cmps["hr7"]["name"].asString(), "模式切换延时时间");
    // "自循环泵手动启动" is bit 3 and then bit 5 of register 139.
    EXPECT_FALSE(cmps.isMember("hr139_b3"));
    EXPECT_EQ(cmps["hr139_b5"]["name"].asString(), "自循环泵手动启动");
}

TEST(HaDiscovery, UniqueIdsDependOnTheDataIdOnly) {
    kv830host::MqttSettings s;
    s.ha_discovery = true;
    kv830host::MqttConfig a = mqtttest::make_config("mqtt://b", "site-a/x", s);
    kv830host::MqttConfig b = mqtttest::make_config("mqtt://other:1", "site-b/y", s);
    b.client_id = "kv830-otherhost-1";
    b.expire_after_s = 300;
    const Json::Value ja = parse_json(kv830host::build_ha_discovery(a).payload);
    const Json::Value jb = parse_json(kv830host::build_ha_discovery(b).payload);
    for (const std::string& id : ja["cmps"].getMemberNames()) {
        SCOPED_TRACE(id);
        EXPECT_EQ(ja["cmps"][id]["unique_id"], jb["cmps"][id]["unique_id"]);
    }
    a.data_id = 2;
    const Json::Value j2 = parse_json(kv830host::build_ha_discovery(a).payload);
    EXPECT_NE(j2["cmps"]["hr7"]["unique_id"], ja["cmps"]["hr7"]["unique_id"]);
    EXPECT_EQ(j2["cmps"]["hr7"]["unique_id"].asString(), "kv830_2_hr7");
    // Two gateways with the same data id announce two devices.
    a.node_id = "north";
    b.node_id = "south";
    b.data_id = 2;
    const kv830host::DiscoveryMessage north = kv830host::build_ha_discovery(a);
    const kv830host::DiscoveryMessage south = kv830host::build_ha_discovery(b);
    EXPECT_NE(north.topic, south.topic);
    EXPECT_EQ(north.former_topic, south.former_topic);
    EXPECT_EQ(parse_json(north.payload)["cmps"]["hr7"]["unique_id"].asString(),
              "kv830_north_2_hr7");
    EXPECT_EQ(parse_json(south.payload)["dev"]["ids"][0].asString(), "kv830_south_2");
}

TEST(HaDiscovery, EnumerationsOfferTheirTextsAndTheInvalidValue) {
    kv830host::MqttSettings s;
    s.ha_discovery = true;
    const Json::Value root = parse_json(
        kv830host::build_ha_discovery(mqtttest::make_config("mqtt://b", "p", s)).payload);
    const Json::Value& c = root["cmps"]["hr167"];
    EXPECT_EQ(c["name"].asString(), "旁流水排污电机运行");
    ASSERT_EQ(c["options"].size(), 3U);
    EXPECT_EQ(c["options"][0].asString(), "停止");
    EXPECT_EQ(c["options"][1].asString(), "运行");
    EXPECT_EQ(c["options"][2].asString(), "无效值");
    EXPECT_EQ(c["value_template"].asString(), "{{ value_json['旁流水排污电机运行'] }}");
}

// One row per way a signal becomes an entity: its fields as Home Assistant reads them.
TEST(HaDiscovery, SignalsCarryTheirUnitsScalesAndCommands) {
    struct Row {
        const char* name;
        bool writes;
        const char* overrides;  // the settings' "signals", or ""
        const char* component;
        const char* expected;  // the members that must be so, as JSON
        const char* absent;    // a member that must not be there, or ""
    };
    // clang-format off
    const Row rows[] = {
        {"time", false, "", "hr7",
         R"({"p":"sensor","device_class":"duration","unit_of_measurement":"s",
             "value_template":"{{ value_json['模式切换延时时间'] | int }}"})", ""},
        {"chilled water supply", false, "", "hr82",
         R"({"p":"sensor","device_class":"temperature","unit_of_measurement":"°C",
             "state_class":"measurement","suggested_display_precision":1,
             "value_template":"{{ (value_json['冷冻供水温度'] | float * 0.1) | round(1) }}"})", ""},
        {"energy", false, "", "hr194",
         R"({"p":"sensor","device_class":"energy","unit_of_measurement":"kWh",
             "state_class":"total_increasing","suggested_display_precision":0,
             "value_template":"{{ value_json['蒸发冷电表总电能'] | int }}"})", ""},
        {"setting, writes off", false, "", "hr19",
         R"({"p":"sensor","device_class":"temperature","state_class":"measurement"})", "command_topic"},
        {"setting, writes on", true, "", "hr19",
         R"({"p":"number","device_class":"temperature","unit_of_measurement":"°C","mode":"box",
             "min":4,"max":15,"step":0.1,"command_topic":"kv830/1/write",
             "command_template":"{% set c = (value / 0.1) | round(0) | int %}{\"register\":19,\"values\":[{{ c }}]}"})",
         "expire_after"},
        {"signed, in °F", true, R"({"室外温度":{"signed":true,"unit_of_measurement":"°F","scale":0.18,"offset":32,"decimals":1,"min":-40,"max":140}})", "hr93",
         R"({"p":"sensor","device_class":"temperature","unit_of_measurement":"°F",
             "value_template":"{% set c = value_json['室外温度'] | float %}{{ ((c - 65536 if c >= 32768 else c) * 0.18 + 32) | round(2) }}"})", ""},
        {"a unit without class", false, R"({"冷冻供水温度":{"quantity":"pressure","unit_of_measurement":"MPa","scale":0.001,"decimals":3,"min":0,"max":1}})", "hr82",
         R"({"unit_of_measurement":"MPa","state_class":"measurement","suggested_display_precision":3})", "device_class"},
        {"pH", false, "", "hr177", R"({"device_class":"ph","suggested_display_precision":2})", "unit_of_measurement"},
        {"ppm", false, "", "hr180", R"({"unit_of_measurement":"ppm","state_class":"measurement"})", "device_class"},
        {"mode", true, "", "hr1", R"({"p":"number","min":1,"max":4,"step":1})", "device_class"},
        {"mode reading", false, "", "hr2", R"({"p":"sensor"})", "state_class"},
    };
    // clang-format on
    kv830host::SignalModel defaults;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        kv830host::MqttSettings s;
        s.ha_discovery = true;
        s.writes = row.writes;
        kv830host::MqttConfig config = mqtttest::make_config("mqtt://b", "kv830/1", s);
        kv830host::SignalModel model;
        std::string error;
        if (*row.overrides != '\0') {
            ASSERT_TRUE(model.apply_overrides(parse_json(row.overrides), error)) << error;
        }
        config.signals = &model;
        const Json::Value root = parse_json(kv830host::build_ha_discovery(config).payload);
        for (const std::string& problem : validate(root, "kv830/1/snapshot", "kv830/1/status")) {
            ADD_FAILURE() << problem;
        }
        const Json::Value& c = root["cmps"][row.component];
        ASSERT_TRUE(c.isObject());
        if (row.expected != nullptr) {
            const Json::Value expected = parse_json(row.expected);
            for (const std::string& member : expected.getMemberNames()) {
                if (expected[member].isNumeric()) {
                    EXPECT_TRUE(c[member].isNumeric()) << member << " of " << c.toStyledString();
                    EXPECT_DOUBLE_EQ(c[member].asDouble(), expected[member].asDouble()) << member;
                } else {
                    EXPECT_EQ(c[member], expected[member])
                        << member << " of " << c.toStyledString();
                }
            }
        }
        if (*row.absent != '\0') {
            EXPECT_FALSE(c.isMember(row.absent)) << c.toStyledString();
        }
    }
}

// Alarm and fault bits are problems, other bits plain on/off; by the model, not by name.
TEST(HaDiscovery, AlarmsAreProblems) {
    kv830host::MqttSettings s;
    s.ha_discovery = true;
    const kv830host::MqttConfig config = mqtttest::make_config("mqtt://b", "p", s);
    const Json::Value cmps = parse_json(kv830host::build_ha_discovery(config).payload)["cmps"];
    const kv830host::SignalModel model;
    int problems = 0;
    for (const kv830host::SignalSpec& spec : model.signals()) {
        if (spec.row->kind != kv830::SignalKind::Bit &&
            spec.row->kind != kv830::SignalKind::Input) {
            continue;
        }
        SCOPED_TRACE(spec.row->key);
        const bool alarm = spec.alarm != kv830model::Alarm::None;
        const std::string id =
            spec.row->kind == kv830::SignalKind::Input
                ? "di" + std::to_string(spec.row->source)
                : "hr" + std::to_string(spec.row->source) + "_b" + std::to_string(spec.row->bit);
        EXPECT_EQ(cmps[id]["device_class"].asString(), alarm ? "problem" : "");
        problems += alarm ? 1 : 0;
    }
    EXPECT_GT(problems, 0);
}

}  // namespace
