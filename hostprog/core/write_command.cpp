#include "write_command.h"

#include <json/value.h>

#include <cmath>
#include <cstdint>

#include "json_text.h"
#include "kv830_protocol.h"

namespace kv830host {

namespace {

constexpr long long kLastRegister = kv830::kRegisterSpace - 1;
constexpr long long kLastValue = 0xFFFF;
constexpr long long kLastDataId = 0xFFFFFFFFLL;

// An integer member as a long long; values beyond 64 bits arrive as reals, integers all
// the same, just far out of any range, and are clamped so that the range check refuses
// them with their sign.
bool read_integer(const Json::Value& v, long long& out) {
    if (v.type() == Json::intValue) {
        out = v.asLargestInt();
        return true;
    }
    if (v.type() == Json::uintValue) {
        const Json::LargestUInt u = v.asLargestUInt();
        out = u > static_cast<Json::LargestUInt>(kLastDataId) ? kLastDataId + 1
                                                              : static_cast<long long>(u);
        return true;
    }
    if (v.type() == Json::realValue && std::abs(v.asDouble()) >= 9.2e18) {
        out = v.asDouble() > 0 ? kLastDataId + 1 : -1;
        return true;
    }
    return false;
}

bool read_ranged(const Json::Value& root, const char* name, long long last, long long& out,
                 std::string& error) {
    if (!read_integer(root[name], out)) {
        error =
            std::string("\"") + name + "\" is " + json_type_name(root[name]) + ", not an integer";
        return false;
    }
    if (out < 0 || out > last) {
        error = std::string("\"") + name + "\" " + std::to_string(out) + " is outside 0 to " +
                std::to_string(last);
        return false;
    }
    return true;
}

// Code points, each printable: the id goes into audit lines and result messages.
bool read_command_id(const Json::Value& v, std::string& out, std::string& error) {
    if (!v.isString()) {
        error = std::string("\"command_id\" is ") + json_type_name(v) + ", not a string";
        return false;
    }
    const std::string text = v.asString();
    std::size_t chars = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            error = "\"command_id\" holds a control character";
            return false;
        }
        chars += (byte & 0xC0U) != 0x80U ? 1 : 0;
    }
    if (chars == 0 || chars > kCommandIdMaxChars) {
        error = "\"command_id\" must be 1 to " + std::to_string(kCommandIdMaxChars) +
                " characters, not " + std::to_string(chars);
        return false;
    }
    out = text;
    return true;
}

bool read_values(const Json::Value& values, long long address, WriteCommand& out,
                 std::string& error) {
    if (!values.isArray()) {
        error = std::string("\"values\" is ") + json_type_name(values) + ", not an array";
        return false;
    }
    if (values.empty()) {
        error = "\"values\" is empty";
        return false;
    }
    if (values.size() > static_cast<Json::ArrayIndex>(kv830::kMaxWriteRegisters)) {
        error = std::to_string(values.size()) + " values; at most " +
                std::to_string(kv830::kMaxWriteRegisters) + " in one write";
        return false;
    }
    out.values.clear();
    for (Json::ArrayIndex i = 0; i < values.size(); ++i) {
        long long v = 0;
        if (!read_integer(values[i], v)) {
            error = "value " + std::to_string(i + 1) + " is " + json_type_name(values[i]) +
                    ", not an integer";
            return false;
        }
        if (v < 0 || v > kLastValue) {
            error = "value " + std::to_string(i + 1) + " (" + std::to_string(v) +
                    ") is outside 0 to 65535";
            return false;
        }
        out.values.push_back(static_cast<std::uint16_t>(v));
    }
    const long long last = address + static_cast<long long>(out.values.size()) - 1;
    if (last > kLastRegister) {
        error = "registers " + std::to_string(address) + " to " + std::to_string(last) +
                " run past 65535";
        return false;
    }
    return true;
}

}  // namespace

bool parse_write_command(const std::string& text, RemoteWrite& out, std::string& error) {
    out.command = WriteCommand{};
    out.command.address = -1;
    out.has_data_id = false;
    out.command_id.clear();
    if (text.size() > kWriteCommandMaxBytes) {
        error = "command longer than " + std::to_string(kWriteCommandMaxBytes) + " bytes";
        return false;
    }
    Json::Value root;
    JsonTextRules rules;
    rules.max_depth = kWriteCommandMaxDepth;
    if (!read_json_text(text, rules, root, error)) {
        return false;
    }
    if (!root.isObject()) {
        error = std::string("the command is ") + json_type_name(root) +
                R"(, not an object {"register":N,"values":[...]})";
        return false;
    }
    for (const std::string& name : root.getMemberNames()) {
        if (name != "data_id" && name != "register" && name != "values" && name != "command_id") {
            error = "unknown member \"" + name +
                    R"(" (a command has "register", "values", "data_id" and "command_id"))";
            return false;
        }
    }
    long long number = 0;
    if (root.isMember("data_id")) {
        if (!read_ranged(root, "data_id", kLastDataId, number, error)) {
            return false;
        }
        out.has_data_id = true;
        out.command.data_id = static_cast<unsigned>(number);
    }
    if (root.isMember("command_id") &&
        !read_command_id(root["command_id"], out.command_id, error)) {
        return false;
    }
    if (!root.isMember("register")) {
        error = "no \"register\"";
        return false;
    }
    if (!read_ranged(root, "register", kLastRegister, number, error)) {
        return false;
    }
    out.command.address = static_cast<int>(number);
    if (!root.isMember("values")) {
        error = "no \"values\"";
        return false;
    }
    return read_values(root["values"], number, out.command, error);
}

}  // namespace kv830host
