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

// What a link reaches, as names that compare: the serial device's path with its links
// resolved, or each address the TCP peer's host resolves to with its port ("localhost:502"
// gives "[::1]:502" and "127.0.0.1:502"). Links that share a name are one line.
std::vector<std::string> line_names(const qdxhost::LinkSettings& link);

// For each link, the index of the first link on the same line (itself when it is the
// first), so that "localhost:502" and "127.0.0.1:502" are one peer and /dev/ttyUSB0 and a
// link to it are one serial line.
std::vector<std::size_t> lines_of(const std::vector<qdxhost::LinkSettings>& links);

// `pattern` with every kDataIdField replaced by the data id.
std::string expand_data_id(const std::string& pattern, unsigned data_id);
bool has_data_id_field(const std::string& pattern);

}  // namespace kv830host
