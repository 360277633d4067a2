// MQTT as an output of the program: one publisher per device, each with its own topics,
// client id, last will and Home Assistant discovery.
#pragma once

#include <memory>

#include "output.h"

namespace kv830host {

std::unique_ptr<OutputKind> make_mqtt_kind();

}  // namespace kv830host
