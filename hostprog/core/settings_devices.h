// The devices a settings document describes, each with the gateway's members of it (its
// signal model above all), read and checked as the program's start reads them: for the
// commands that present the signals without polling (signals, export).
#pragma once

#include <string>
#include <vector>

#include "device_list.h"

namespace kv830host {

// `file` read (none when empty: one device with the defaults). `listed` says whether the
// document has a "devices" list; without one, `devices` holds the one device with data id
// 1. A refusal names the file and the member.
bool read_settings_devices(const std::string& file, std::vector<DeviceOptions>& devices,
                           bool& listed, std::string& error);

}  // namespace kv830host
