#include "ha_discovery.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <map>
#include <memory>
#include <regex>
#include <set>

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
        if (platform != "sensor" && platform != "binary_sensor") {
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
        if (!c["value_template"].isString() || c["value_template"].asString().find("{{") != 0) {
            problem("no value template");
        }
        if (!c["expire_after"].isInt() || c["expire_after"].asInt() < 60) {
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
        } else if (c["state_class"].asString() != "measurement") {
            problem("value sensor without state_class measurement");
        }
    }
    return problems;
}

TEST(HaDiscovery, EveryComponentIsCompleteAndCounted) {
    const kv830host::MqttConfig config = mqtttest::make_config("mqtt://b", "kv830/1", [] {
        kv830host::MqttSettings s;
        s.ha_discovery = true;
        return s;
    }());
    const kv830host::DiscoveryMessage message = kv830host::build_ha_discovery(config);
    EXPECT_EQ(message.topic, "homeassistant/device/kv830_1/config");
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
    // 98 register bits and 75 inputs; 119 values and 4 enumerations; one timestamp.
    EXPECT_EQ(platforms["binary_sensor"], 98 + 75);
    EXPECT_EQ(platforms["sensor"], 119);
    EXPECT_EQ(platforms["sensor/enum"], 4);
    EXPECT_EQ(platforms["sensor/timestamp"], 1);
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

}  // namespace
