#include "ha_discovery.h"

#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "ha_sensor_class.h"
#include "kv830_signals.h"
#include "program_version.h"
#include "signal_model.h"

namespace kv830host {

namespace {

// Home Assistant refuses a number entity's step below this.
constexpr double kHaMinStep = 0.001;
// Registers hold 16 bits; a signed one's negative counts start here.
constexpr int kSignedHalf = 32768;
constexpr int kRegisterSpan = 65536;

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

// The shortest text that reads back as `value`: 0.1, not 0.10000000000000001.
std::string number_text(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return {text, result.ptr};
}

// Places a value of the traits has: those of one count and of the offset, so that the
// template keeps the register's resolution whatever the display shows.
int value_places(const SignalTraits& traits) {
    const auto places_of = [](double x) {
        for (int p = 0; p < kMaxDecimals; ++p) {
            const double scaled = std::fabs(x) * std::pow(10.0, p);
            if (std::fabs(scaled - std::round(scaled)) < 1e-9 * std::max(1.0, scaled)) {
                return p;
            }
        }
        return kMaxDecimals;
    };
    return std::max(places_of(traits.scale), places_of(traits.offset));
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

// The snapshot holds counts as reals (65.0); the state is counts * scale + offset,
// rounded to the register's resolution. A signed register's counts are two's complement.
std::string value_template(const SignalTraits& traits, const std::string& member) {
    const bool identity = traits.scale == 1.0 && traits.offset == 0.0 && !traits.is_signed;
    if (identity) {
        return "{{ " + member + " | int }}";
    }
    std::string counts = member + " | float";
    std::string head;
    if (traits.is_signed) {
        head = "{% set c = " + counts + " %}";
        counts = "(c - " + std::to_string(kRegisterSpan) +
                 " if c >= " + std::to_string(kSignedHalf) + " else c)";
    }
    std::string value = counts;
    if (traits.scale != 1.0) {
        value += " * " + number_text(traits.scale);
    }
    if (traits.offset != 0.0) {
        value += (traits.offset < 0.0 ? " - " : " + ") + number_text(std::fabs(traits.offset));
    }
    const int places = value_places(traits);
    if (places == 0) {
        return head + "{{ (" + value + ") | round(0) | int }}";
    }
    return head + "{{ (" + value + ") | round(" + std::to_string(places) + ") }}";
}

// The write command for the engineering value Home Assistant sets: the nearest counts, as
// engineering_to_raw finds them; the write rule then judges them like any other write.
std::string command_template(const SignalTraits& traits) {
    std::string counts = "value";
    if (traits.offset != 0.0) {
        counts = "(value " + std::string(traits.offset < 0.0 ? "+ " : "- ") +
                 number_text(std::fabs(traits.offset)) + ")";
    }
    if (traits.scale != 1.0) {
        counts += " / " + number_text(traits.scale);
    }
    std::string text = "{% set c = (" + counts + ") | round(0) | int %}";
    text += "{\"register\":" + std::to_string(traits.row->source) + ",\"values\":[";
    text += traits.is_signed ? "{{ c + " + std::to_string(kRegisterSpan) + " if c < 0 else c }}"
                             : std::string("{{ c }}");
    return text + "]}";
}

void add_unit(Json::Value& c, const SignalTraits& traits, const HaSensorClass& ha) {
    if (ha.device_class != nullptr) {
        c["device_class"] = ha.device_class;
    }
    if (!traits.unit_of_measurement.empty()) {
        c["unit_of_measurement"] = traits.unit_of_measurement;
    }
}

bool is_number(const SignalTraits& traits, const MqttConfig& config) {
    return config.writes && traits.row->setting && traits.row->kind == kv830::SignalKind::Value &&
           traits.max > traits.min;
}

Json::Value signal_component(const SignalTraits& traits, const MqttConfig& config,
                             const std::string& unique_prefix) {
    const kv830::SignalRow& row = *traits.row;
    Json::Value c(Json::objectValue);
    c["name"] = row.key;
    c["unique_id"] = unique_prefix + component_id(row);
    const std::string member = "value_json[" + jinja_literal(row.key) + "]";
    const HaSensorClass ha = ha_sensor_class(traits.quantity, traits.unit_of_measurement);
    switch (row.kind) {
        case kv830::SignalKind::Bit:
        case kv830::SignalKind::Input:
            // Bits come as integers, inputs as reals (1.0): both read as 0 or 1.
            c["p"] = "binary_sensor";
            c["value_template"] = "{{ " + member + " | int }}";
            c["payload_on"] = "1";
            c["payload_off"] = "0";
            if (traits.alarm != kv830model::Alarm::None) {
                c["device_class"] = "problem";
            }
            break;
        case kv830::SignalKind::Value:
            c["value_template"] = value_template(traits, member);
            add_unit(c, traits, ha);
            if (is_number(traits, config)) {
                c["p"] = "number";
                c["mode"] = "box";
                c["min"] = traits.min;
                c["max"] = traits.max;
                c["step"] = std::max(std::fabs(traits.scale), kHaMinStep);
                c["command_topic"] = config.prefix + "/write";
                c["command_template"] = command_template(traits);
                break;
            }
            c["p"] = "sensor";
            // A state or mode register is named, not measured: neither statistics nor places.
            if (ha.state_class != nullptr) {
                c["state_class"] = ha.state_class;
                c["suggested_display_precision"] = traits.decimals;
            }
            break;
        case kv830::SignalKind::Enum: {
            if (traits.alarm != kv830model::Alarm::None) {
                // Its second text is the alarm; anything but the two texts is unknown
                // ("None" to Home Assistant) rather than a problem or none.
                c["p"] = "binary_sensor";
                c["device_class"] = "problem";
                c["value_template"] =
                    "{% set v = " + member + " %}{{ 1 if v == " + jinja_literal(row.text1) +
                    " else (0 if v == " + jinja_literal(row.text0) + " else 'None') }}";
                c["payload_on"] = "1";
                c["payload_off"] = "0";
                break;
            }
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
    // A number stays settable while the plant is quiet; a reading goes stale.
    if (c["p"].asString() != "number") {
        c["expire_after"] = config.expire_after_s;
    }
    return c;
}

const SignalModel& model_of(const MqttConfig& config) {
    static const SignalModel defaults;
    return config.signals != nullptr ? *config.signals : defaults;
}

}  // namespace

std::string ha_status_topic(const MqttConfig& config) {
    return config.ha_prefix + "/status";
}

DiscoveryMessage build_ha_discovery(const MqttConfig& config) {
    const std::string data_id = std::to_string(config.data_id);
    const std::string former_id = "kv830_" + data_id;
    const std::string device_id =
        config.node_id.empty() ? former_id : "kv830_" + config.node_id + "_" + data_id;
    const std::string unique_prefix = device_id + "_";

    Json::Value root(Json::objectValue);
    Json::Value device(Json::objectValue);
    device["ids"] = Json::Value(Json::arrayValue);
    device["ids"].append(device_id);
    device["name"] = "Cooling plant " + data_id;
    device["mdl"] = "kv830";
    device["sw"] = kProgramVersion;
    root["dev"] = device;
    Json::Value origin(Json::objectValue);
    origin["name"] = "kv830-host";
    origin["sw"] = kProgramVersion;
    if (*kProjectAddress != '\0') {
        origin["url"] = kProjectAddress;
    }
    root["o"] = origin;
    root["availability_topic"] = config.prefix + "/status";
    root["payload_available"] = "online";
    root["payload_not_available"] = "offline";
    root["state_topic"] = config.prefix + "/snapshot";
    root["qos"] = 1;

    Json::Value components(Json::objectValue);
    std::size_t count = 0;
    for (const SignalTraits& traits : model_of(config).signals()) {
        components[component_id(*traits.row)] = signal_component(traits, config, unique_prefix);
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
    // Scales, steps and ranges as written (0.1), not at the seventeenth digit.
    builder["precision"] = 15;
    DiscoveryMessage message;
    message.topic = config.ha_prefix + "/device/" + device_id + "/config";
    message.payload = Json::writeString(builder, root);
    message.components = count;
    if (device_id != former_id) {
        message.former_topic = config.ha_prefix + "/device/" + former_id + "/config";
    }
    return message;
}

}  // namespace kv830host
