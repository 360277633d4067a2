#include "gateway_members.h"

#include <utility>

#include "node_id.h"

namespace kv830host {

namespace {

bool read_signals(const Json::Value& v, GatewayMembers& out, std::string& error) {
    return out.signals.apply_overrides(v, error);
}

bool read_server_unit(const Json::Value& v, GatewayMembers& out, std::string& error) {
    if (!v.isIntegral() || v.asLargestInt() < 0 || v.asLargestInt() > kMaxServerUnit) {
        error =
            "\"server_unit\" must be a Modbus unit id from 0 to " + std::to_string(kMaxServerUnit);
        return false;
    }
    out.server_unit = static_cast<int>(v.asLargestInt());
    return true;
}

bool read_node_id(const Json::Value& v, GatewayMembers& out, std::string& error) {
    std::string why;
    if (!v.isString() || !check_node_id(v.asString(), why)) {
        error = "\"node_id\": " + (v.isString() ? why : std::string("must be text"));
        return false;
    }
    out.node_id = v.asString();
    return true;
}

struct Member {
    const char* name;
    bool per_device;  // else the gateway's alone, at the top level
    bool (*read)(const Json::Value&, GatewayMembers&, std::string&);
};

const Member kMembers[] = {
    {"signals",         true,  read_signals    },
    {kServerUnitMember, true,  read_server_unit},
    {"node_id",         false, read_node_id    },
};

bool allowed(const Member& m, SettingsPlace place) {
    return place == SettingsPlace::OneDevice || m.per_device == (place == SettingsPlace::ListEntry);
}

}  // namespace

std::vector<std::string> gateway_member_names(SettingsPlace place) {
    std::vector<std::string> names;
    for (const Member& m : kMembers) {
        if (allowed(m, place)) {
            names.emplace_back(m.name);
        }
    }
    return names;
}

bool take_gateway_members(Json::Value& object, SettingsPlace place, GatewayMembers& out,
                          std::string& error) {
    if (!object.isObject()) {
        return true;
    }
    GatewayMembers read = out;
    for (const Member& m : kMembers) {
        if (!object.isMember(m.name)) {
            continue;
        }
        if (!allowed(m, place)) {
            error = "\"" + std::string(m.name) +
                    (m.per_device ? R"(" belongs in each entry of "devices")"
                                  : "\" names the gateway: give it once, at the top level");
            return false;
        }
        if (!m.read(object[m.name], read, error)) {
            return false;
        }
    }
    for (const Member& m : kMembers) {
        object.removeMember(m.name);
    }
    out = std::move(read);
    return true;
}

}  // namespace kv830host
