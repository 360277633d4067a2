// What the MQTT tests share: a configuration for a broker on loopback, snapshot texts
// shaped like the device's, and cycle reports.
#pragma once

#include <string>

#include "mqtt_settings.h"
#include "round.h"

namespace mqtttest {

// A checked configuration for the broker at `url` under `prefix`, polling every second.
kv830host::MqttConfig make_config(const std::string& url, const std::string& prefix,
                                  kv830host::MqttSettings settings = {});

// A compact JSON object with every signal name of the table and values that change with
// `seed`, ending in a newline like the device's text.
std::string snapshot_text(unsigned seed);

kv830host::RoundPtr make_report(unsigned long long number, bool completed = true);

// A topic prefix no other test uses.
std::string unique_prefix(const std::string& test);

}  // namespace mqtttest
