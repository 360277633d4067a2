#include "ha_discovery.h"

#include <json/value.h>
#include <json/writer.h>

#include <set>
#include <string>

#include "kv830_signals.h"

namespace kv830host {

namespace {

// A Jinja string literal for a signal name, so that the template reads the member
// whatever characters the name holds.
std::string jinja_literal(const char* key) {
    std::string out = "'";
    for (const char* p = key; *p != '\0'; ++p) {
        if (*p == '\'' || *p == '\\') {
            out += '\\';
        }
        out += *p;
    }
    out += '\'';
    return out;
}

std::string component_id(const kv830::SignalRow& row) {
    const std::string source = std::to_string(row.source);
    switch (row.kind) {
        case kv830::SignalKind::Bit:
            return "hr" + source + "_b" + std::to_string(row.bit);
        case kv830::SignalKind::Value:
        case kv830::SignalKind::Enum:
            return "hr" + source;
        case kv830::SignalKind::Input:
            return "di" + source;
    }
    return "hr" + source;
}

Json::Value signal_component(const kv830::SignalRow& row, const std::string& unique_prefix,
                             int expire_after_s) {
    Json::Value c(Json::objectValue);
    const std::string id = component_id(row);
    c["name"] = row.key;
    c["unique_id"] = unique_prefix + id;
    c["expire_after"] = expire_after_s;
    const std::string member = "value_json[" + jinja_literal(row.key) + "]";
    switch (row.kind) {
        case kv830::SignalKind::Bit:
        case kv830::SignalKind::Input:
            // Bits come as integers, inputs as reals (1.0): both read as 0 or 1.
            c["p"] = "binary_sensor";
            c["value_template"] = "{{ " + member + " | int }}";
            c["payload_on"] = "1";
            c["payload_off"] = "0";
            break;
        case kv830::SignalKind::Value:
            c["p"] = "sensor";
            c["state_class"] = "measurement";
            c["value_template"] = "{{ " + member + " }}";
            break;
        case kv830::SignalKind::Enum: {
            c["p"] = "sensor";
            c["device_class"] = "enum";
            Json::Value options(Json::arrayValue);
            options.append(row.text0);
            options.append(row.text1);
            options.append(kv830::kInvalidText);
            c["options"] = options;
            c["value_template"] = "{{ " + member + " }}";
            break;
        }
    }
    return c;
}

}  // namespace

std::string ha_status_topic(const MqttConfig& config) {
    return config.ha_prefix + "/status";
}

DiscoveryMessage build_ha_discovery(const MqttConfig& config) {
    const std::string device_id = "kv830_" + std::to_string(config.data_id);
    const std::string unique_prefix = device_id + "_";

    Json::Value root(Json::objectValue);
    Json::Value device(Json::objectValue);
    device["ids"] = Json::Value(Json::arrayValue);
    device["ids"].append(device_id);
    device["name"] = "Cooling plant " + std::to_string(config.data_id);
    device["mdl"] = "kv830";
    root["dev"] = device;
    Json::Value origin(Json::objectValue);
    origin["name"] = "kv830-host";
    root["o"] = origin;
    root["availability_topic"] = config.prefix + "/status";
    root["payload_available"] = "online";
    root["payload_not_available"] = "offline";
    root["state_topic"] = config.prefix + "/snapshot";
    root["qos"] = 1;

    Json::Value components(Json::objectValue);
    std::size_t count = 0;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        bool assigned_later = false;
        for (std::size_t j = i + 1; j < kv830::kSignalCount && !assigned_later; ++j) {
            assigned_later = std::string(kv830::kSignals[j].key) == row.key;
        }
        if (assigned_later) {
            continue;
        }
        components[component_id(row)] = signal_component(row, unique_prefix, config.expire_after_s);
        ++count;
    }
    // The snapshot's own time text is local time without a zone; the cycle summary carries
    // the same moment in UTC, which Home Assistant reads without guessing the zone.
    Json::Value update(Json::objectValue);
    update["p"] = "sensor";
    update["name"] = kv830::kUpdateTimeKey;
    update["unique_id"] = unique_prefix + "update_time";
    update["device_class"] = "timestamp";
    update["state_topic"] = config.prefix + "/cycle";
    update["value_template"] = "{{ value_json.last_completed }}";
    update["expire_after"] = config.expire_after_s;
    components["update_time"] = update;
    ++count;
    root["cmps"] = components;

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    DiscoveryMessage message;
    message.topic = config.ha_prefix + "/device/" + device_id + "/config";
    message.payload = Json::writeString(builder, root);
    message.components = count;
    return message;
}

}  // namespace kv830host
