#include "mqtt_messages.h"

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <cmath>
#include <ctime>
#include <exception>
#include <memory>
#include <sstream>

#include "kv830_signals.h"

namespace kv830host {

namespace {

std::string write_compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

const char* json_type_name(const Json::Value& v) {
    switch (v.type()) {
        case Json::nullValue:
            return "null";
        case Json::intValue:
        case Json::uintValue:
            return "an integer";
        case Json::realValue:
            return "a number with a fraction or exponent";
        case Json::stringValue:
            return "a string";
        case Json::booleanValue:
            return "a boolean";
        case Json::arrayValue:
            return "an array";
        case Json::objectValue:
            return "an object";
    }
    return "something else";
}

bool read_integer(const Json::Value& v, long long& out) {
    if (v.type() == Json::intValue) {
        out = v.asLargestInt();
        return true;
    }
    if (v.type() == Json::uintValue) {
        const Json::LargestUInt u = v.asLargestUInt();
        out = u > 0x7fffffffULL ? 0x7fffffffLL : static_cast<long long>(u);
        return true;
    }
    // Integers beyond 64 bits arrive as reals; they are integers all the same, just far
    // out of range.
    if (v.type() == Json::realValue && std::abs(v.asDouble()) >= 9.2e18) {
        out = v.asDouble() > 0 ? 0x7fffffffLL : -0x7fffffffLL;
        return true;
    }
    return false;
}

}  // namespace

std::string format_utc_time(std::int64_t unix_ms) {
    const std::int64_t seconds = unix_ms >= 0 ? unix_ms / 1000 : (unix_ms - 999) / 1000;
    const auto millis = static_cast<int>(unix_ms - seconds * 1000);
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[96];
    (void)std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                        tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return text;
}

std::string format_cycle_json(const CycleReport& r) {
    Json::Value v(Json::objectValue);
    v["data_id"] = r.data_id;
    v["number"] = static_cast<Json::UInt64>(r.number);
    v["completed"] = r.completed;
    v["duration_s"] = r.duration_s;
    v["answered"] = r.answered;
    v["failed"] = r.failed;
    v["retries"] = r.retries;
    v["time"] = format_utc_time(r.end_unix_ms);
    v["last_completed"] = r.last_completed_unix_ms > 0
                              ? Json::Value(format_utc_time(r.last_completed_unix_ms))
                              : Json::Value(Json::nullValue);
    return write_compact(v);
}

bool register_writable(int address) {
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        if (row.kind != kv830::SignalKind::Input && row.source == address && row.setting) {
            return true;
        }
    }
    return false;
}

bool parse_write_command(const std::string& payload, unsigned data_id, WriteCommand& out,
                         std::string& error) {
    out = WriteCommand{};
    out.data_id = data_id;
    out.address = -1;
    if (payload.size() > kWriteCommandMax) {
        error = "command longer than " + std::to_string(kWriteCommandMax) + " bytes";
        return false;
    }
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = 16;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string parse_error;
    bool parsed = false;
    try {
        parsed =
            reader->parse(payload.data(), payload.data() + payload.size(), &root, &parse_error);
    } catch (const std::exception& e) {
        // The reader throws on nesting deeper than its stack limit.
        parse_error = e.what();
    }
    if (!parsed) {
        std::string first_line = parse_error.substr(0, parse_error.find('\n'));
        error = "not valid JSON" + (first_line.empty() ? std::string() : ": " + first_line);
        return false;
    }
    if (!root.isObject()) {
        error = std::string("the command is ") + json_type_name(root) + ", not an object";
        return false;
    }
    for (const std::string& name : root.getMemberNames()) {
        if (name != "register" && name != "values") {
            error = "unknown member \"" + name + R"x(" (only "register" and "values"))x";
            return false;
        }
    }
    if (!root.isMember("register")) {
        error = "no \"register\"";
        return false;
    }
    if (!root.isMember("values")) {
        error = "no \"values\"";
        return false;
    }
    long long address = 0;
    if (!read_integer(root["register"], address)) {
        error =
            std::string("\"register\" is ") + json_type_name(root["register"]) + ", not an integer";
        return false;
    }
    if (address < 0 || address > kRegisterMax) {
        error = "register " + std::to_string(address) + " is outside 0 to 65535";
        return false;
    }
    out.address = static_cast<int>(address);
    const Json::Value& values = root["values"];
    if (!values.isArray()) {
        error = std::string("\"values\" is ") + json_type_name(values) + ", not an array";
        return false;
    }
    if (values.empty()) {
        error = "\"values\" is empty";
        return false;
    }
    if (values.size() > kWriteValuesMax) {
        error = std::to_string(values.size()) + " values; at most " +
                std::to_string(kWriteValuesMax) + " in one write";
        return false;
    }
    std::vector<std::uint16_t> words;
    for (Json::ArrayIndex i = 0; i < values.size(); ++i) {
        long long v = 0;
        if (!read_integer(values[i], v)) {
            error = "value " + std::to_string(i + 1) + " is " + json_type_name(values[i]) +
                    ", not an integer";
            return false;
        }
        if (v < 0 || v > 65535) {
            error = "value " + std::to_string(i + 1) + " (" + std::to_string(v) +
                    ") is outside 0 to 65535";
            return false;
        }
        words.push_back(static_cast<std::uint16_t>(v));
    }
    out.values = words;
    const long long last = address + static_cast<long long>(words.size()) - 1;
    if (last > kRegisterMax) {
        error = "registers " + std::to_string(address) + " to " + std::to_string(last) +
                " run past 65535";
        return false;
    }
    for (long long a = address; a <= last; ++a) {
        if (!register_writable(static_cast<int>(a))) {
            error = "register " + std::to_string(a) + " is not a known writable register";
            return false;
        }
    }
    return true;
}

std::string format_write_result(const WriteCommand* command, const char* outcome,
                                const std::string& reason) {
    Json::Value v(Json::objectValue);
    v["register"] = Json::Value(Json::nullValue);
    v["values"] = Json::Value(Json::nullValue);
    if (command != nullptr && command->address >= 0) {
        v["register"] = command->address;
        if (!command->values.empty()) {
            v["values"] = Json::Value(Json::arrayValue);
            for (const std::uint16_t w : command->values) {
                v["values"].append(static_cast<Json::UInt>(w));
            }
        }
    }
    v["outcome"] = outcome;
    v["reason"] = reason;
    return write_compact(v);
}

}  // namespace kv830host
