// How Home Assistant classes a measurement: the device class and state class its sensor
// rules allow for a quantity in a given unit of measurement. A device class whose units do
// not include ours would be refused there, so such a signal goes without one.
#pragma once

#include <string>

#include "quantity.h"

namespace kv830host {

struct HaSensorClass {
    const char* device_class = nullptr;  // nullptr: none fits
    const char* state_class = nullptr;   // nullptr: no long-term statistics
};

HaSensorClass ha_sensor_class(kv830model::Quantity quantity,
                              const std::string& unit_of_measurement);

}  // namespace kv830host
