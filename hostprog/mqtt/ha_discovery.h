// Home Assistant's device-based MQTT discovery for one controller: one retained message
// that names every signal of the snapshot as an entity of one device, in the engineering
// units of the device's signal model.
#pragma once

#include <cstddef>
#include <string>

#include "mqtt_settings.h"

namespace kv830host {

struct DiscoveryMessage {
    // <discovery prefix>/device/kv830_<node id>_<data id>/config
    std::string topic;
    std::string payload;  // JSON: device, origin, availability, components
    std::size_t components = 0;
    // Where the device was announced before its ids held the node id: cleared once (an
    // empty retained message), or Home Assistant would keep it as a second device.
    std::string former_topic;
};

// Unique ids and component ids derive from the node id, the data id and each signal's
// register, bit or input, never from its name, so they stay the same across restarts and
// differ between gateways. A name the table assigns twice appears once, from its later
// source, as in the snapshot. Values are scaled by the model in their templates; settings
// are numbers Home Assistant can set when config.writes is on.
DiscoveryMessage build_ha_discovery(const MqttConfig& config);

// Home Assistant announces itself here ("online") after a restart; the discovery is then
// sent again.
std::string ha_status_topic(const MqttConfig& config);

}  // namespace kv830host
