#include "settings_devices.h"

#include <json/value.h>

#include <utility>

#include "options.h"

namespace kv830host {

bool read_settings_devices(const std::string& file, std::vector<DeviceOptions>& devices,
                           bool& listed, std::string& error) {
    Json::Value doc(Json::objectValue);
    if (!file.empty() && !read_settings_file(file, doc, error)) {
        return false;
    }
    listed = doc.isMember("devices");
    GatewayMembers top;
    std::vector<DeviceOptions> read;
    if (!take_gateway_members(doc, listed ? SettingsPlace::ListTop : SettingsPlace::OneDevice, top,
                              error) ||
        (listed && !read_device_list(doc, read, error))) {
        error = "settings file " + file + ": " + error;
        return false;
    }
    if (!listed) {
        DeviceOptions one;
        one.gateway = std::move(top);
        read.push_back(std::move(one));
    }
    devices = std::move(read);
    return true;
}

}  // namespace kv830host
