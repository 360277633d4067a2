// Home Assistant's device-based MQTT discovery for one controller: one retained message
// that names every signal of the snapshot as an entity of one device.
#pragma once

#include <cstddef>
#include <string>

#include "mqtt_settings.h"

namespace kv830host {

struct DiscoveryMessage {
    std::string topic;    // <discovery prefix>/device/kv830_<data id>/config
    std::string payload;  // JSON: device, origin, availability, components
    std::size_t components = 0;
};

// Unique ids and component ids derive from the data id and each signal's register, bit or
// input, never from its name, so they stay the same across restarts and hosts. A name the
// table assigns twice appears once, from its later source, as in the snapshot.
DiscoveryMessage build_ha_discovery(const MqttConfig& config);

// Home Assistant announces itself here ("online") after a restart; the discovery is then
// sent again.
std::string ha_status_topic(const MqttConfig& config);

}  // namespace kv830host
