// Several controllers in one program: the settings document's "devices" list, read and
// checked before any link opens, and how its devices share the lines they are on.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "gateway_members.h"
#include "link_settings.h"

namespace kv830host {

// Stands for a device's data id in --output and --mqtt-topic.
constexpr const char* kDataIdField = "{data_id}";
constexpr unsigned long long kMaxDataId = 0xFFFFFFFFULL;

// One controller: its data id, the document its InitSetting gets, its link, and the
// gateway's own members of its settings (its signal model, its Modbus server unit).
struct DeviceOptions {
    unsigned data_id = 1;
    Json::Value settings;  // what a single-device document holds at top level
    qdxhost::LinkSettings link;
    GatewayMembers gateway;
};

// The members a single-device document holds at top level and a "devices" entry holds
// as its own (besides "data_id").
const std::vector<std::string>& device_members();

// Reads doc["devices"]: a non-empty array of objects, each with a "data_id" (0 to
// 4294967295, not repeated) and the device's own members. Link settings start from the
// defaults. Devices on one serial line must agree on the line's settings and differ in
// slave address. The message names the entry ("devices[2]: ...").
bool read_device_list(const Json::Value& doc, std::vector<DeviceOptions>& out, std::string& error);

// Devices whose links give the same key share one link: the serial device's path, or
// the TCP peer's "HOST:PORT" as written.
std::string line_key(const qdxhost::LinkSettings& link);

// `pattern` with every kDataIdField replaced by the data id.
std::string expand_data_id(const std::string& pattern, unsigned data_id);
bool has_data_id_field(const std::string& pattern);

}  // namespace kv830host
