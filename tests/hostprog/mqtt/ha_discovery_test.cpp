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
        if (platform != "number" &&
            (!c["expire_after"].isInt() || c["expire_after"].asInt() < 60)) {
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
        } else if (c.isMember("state_class") &&
                   c["state_class"].asString() !=
                       (device_class == "energy" ? "total_increasing" : "measurement")) {
            problem("state_class " + c["state_class"].asString());
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
    // 98 register bits, 75 inputs and the fault enumeration, the 62 alarms among them as
    // problems; 119 values and 3 enumerations; one timestamp.
    EXPECT_EQ(platforms["binary_sensor"] + platforms["binary_sensor/problem"], 98 + 75 + 1);
    EXPECT_EQ(platforms["binary_sensor/problem"], 62);
    EXPECT_EQ(platforms["sensor/enum"], 3);
    EXPECT_EQ(platforms["sensor/timestamp"], 1);
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
    b.node_id = "south";
    const std::string south = kv830host::build_ha_discovery(b).topic;
    EXPECT_EQ(south, "homeassistant/device/kv830_south_1/config");
    EXPECT_EQ(parse_json(kv830host::build_ha_discovery(b).payload)["cmps"]["hr7"]["unique_id"],
              "kv830_south_1_hr7");
}

// One row per way a signal becomes an entity: the members that must be so (none: the
// component must not be there) and one that must be missing.
TEST(HaDiscovery, SignalsCarryTheirUnitsScalesAndCommands) {
    struct Row {
        bool writes;
        const char* overrides;  // the settings' "signals"
        const char* component;
        const char* expected;
        const char* absent;
    };
    // clang-format off
    const Row rows[] = {
        // "模式切换延时时间" is register 6 and then 7; the snapshot shows register 7.
        {false, "{}", "hr6", nullptr, ""},
        {false, "{}", "hr139_b3", nullptr, ""},  // and bit 3 and then 5 of register 139
        {false, "{}", "hr139_b5", R"({"name":"自循环泵手动启动"})", ""},
        {false, "{}", "hr7", R"({"name":"模式切换延时时间","device_class":"duration","unit_of_measurement":"s","value_template":"{{ value_json['模式切换延时时间'] | int }}"})", ""},
        {false, "{}", "hr82", R"({"p":"sensor","device_class":"temperature","unit_of_measurement":"°C","state_class":"measurement","suggested_display_precision":1,"value_template":"{{ (value_json['冷冻供水温度'] | float * 0.1) | round(1) }}"})", ""},
        {false, "{}", "hr194", R"({"device_class":"energy","unit_of_measurement":"kWh","state_class":"total_increasing","suggested_display_precision":0})", ""},
        {false, "{}", "hr19", R"({"p":"sensor","device_class":"temperature"})", "command_topic"},
        {true, "{}", "hr19", R"({"p":"number","device_class":"temperature","unit_of_measurement":"°C","min":4,"max":15,"step":0.1,"command_topic":"kv830/1/write","command_template":"{% set c = (value / 0.1) | round(0) | int %}{\"register\":19,\"values\":[{{ c }}]}"})", "expire_after"},
        {true, "{}", "hr1", R"({"p":"number","min":1,"max":4,"step":1})", "device_class"},
        {false, "{}", "hr2", R"({"p":"sensor"})", "state_class"},
        {false, R"({"室外温度":{"signed":true,"unit_of_measurement":"°F","scale":0.18,"offset":32,"min":-40,"max":140}})", "hr93", R"({"unit_of_measurement":"°F","value_template":"{% set c = value_json['室外温度'] | float %}{{ ((c - 65536 if c >= 32768 else c) * 0.18 + 32) | round(2) }}"})", ""},
        {false, "{}", "hr177", R"({"device_class":"ph","suggested_display_precision":2})", "unit_of_measurement"},
        {false, "{}", "hr180", R"({"unit_of_measurement":"ppm","state_class":"measurement"})", "device_class"},
        {false, "{}", "hr167", R"({"device_class":"enum","options":["停止","运行","无效值"],"value_template":"{{ value_json['旁流水排污电机运行'] }}"})", ""},
        {false, "{}", "hr168", R"({"p":"binary_sensor","device_class":"problem"})", ""},
        {false, "{}", "hr214_b10", R"({"p":"binary_sensor","device_class":"problem"})", ""},
        {false, "{}", "di0", R"({"p":"binary_sensor"})", "device_class"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.component) + (row.writes ? " with writes" : ""));
        kv830host::MqttSettings s;
        s.ha_discovery = true;
        s.writes = row.writes;
        kv830host::MqttConfig config = mqtttest::make_config("mqtt://b", "kv830/1", s);
        kv830host::SignalModel model;
        std::string error;
        ASSERT_TRUE(model.apply_overrides(parse_json(row.overrides), error)) << error;
        config.signals = &model;
        const Json::Value root = parse_json(kv830host::build_ha_discovery(config).payload);
        for (const std::string& problem : validate(root, "kv830/1/snapshot", "kv830/1/status")) {
            ADD_FAILURE() << problem;
        }
        const Json::Value& c = root["cmps"][row.component];
        EXPECT_EQ(c.isObject(), row.expected != nullptr);
        const Json::Value expected = parse_json(row.expected != nullptr ? row.expected : "{}");
        for (const std::string& member : expected.getMemberNames()) {
            // Numbers as values: the payload writes 4.0 where the row says 4.
            EXPECT_TRUE(expected[member].isNumeric()
                            ? c[member].asDouble() == expected[member].asDouble()
                            : c[member] == expected[member])
                << member << " is " << c[member].toStyledString();
        }
        EXPECT_FALSE(*row.absent != '\0' && c.isMember(row.absent)) << row.absent;
    }
}

}  // namespace
