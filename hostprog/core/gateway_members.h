// The settings document's members that are the gateway's, not the device's: one schema,
// checked before any link opens and taken out of the document before the device's
// InitSetting sees it, so that the device gets what it got before they existed.
//
//   "signals"      per device: overrides of the signal model (docs/signals.md)
//   "server_unit"  per device: the unit id the Modbus server answers for it, 0 to 255
//   "node_id"      once, at the top level: the gateway's own name (node_id.h)
#pragma once

#include <json/value.h>

#include <optional>
#include <string>
#include <vector>

#include "signal_model.h"

namespace kv830host {

// Where in the settings document an object stands.
enum class SettingsPlace {
    OneDevice,  // the top level of a document without "devices": the device and the gateway
    ListTop,    // the top level of a document with "devices": the gateway only
    ListEntry,  // one entry of "devices": one device
};

constexpr int kMaxServerUnit = 255;  // a Modbus TCP unit id is one byte
constexpr const char* kServerUnitMember = "server_unit";

struct GatewayMembers {
    SignalModel signals;
    std::optional<int> server_unit;
    std::string node_id;  // empty when the document gives none
};

// The gateway's member names that `place` may hold, for the checks of unknown members.
std::vector<std::string> gateway_member_names(SettingsPlace place);

// Checks the gateway's members of `object` and takes them out of it. A refusal names the
// member; `object` and `out` are then unchanged.
bool take_gateway_members(Json::Value& object, SettingsPlace place, GatewayMembers& out,
                          std::string& error);

}  // namespace kv830host
