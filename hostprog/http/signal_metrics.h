// The signals of /metrics: every scaled value in its quantity's base unit, one family per
// quantity (kv830_temperature_celsius, kv830_pressure_pascals, ...), the raw counts kept in
// kv830_signal for troubleshooting, enumerations as a state set, and a flag for values
// outside their plausible range. Each device is presented through its own signal model,
// so that a commissioning engineer's overrides show.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "metrics_text.h"
#include "signal_model.h"

namespace kv830host {

struct DeviceView;

// Each device's model by data id; a device without one is shown with the defaults.
using SignalModels = std::map<unsigned, const SignalModel*>;

const SignalModel& model_for(const SignalModels& models, unsigned data_id);

// The Prometheus family a value of `traits` goes to and how its unit becomes the family's
// base unit: base = value * factor + offset. False for quantities without one (states,
// modes) and for a unit of measurement the table does not know.
struct BaseUnit {
    const char* metric;
    const char* type;  // "gauge", or "counter" for the energy register
    const char* help;
    double factor;
    double offset;
};
bool base_unit_of(const SignalTraits& traits, BaseUnit& out);

// Devices whose snapshot is fresh, only.
void write_signal_metrics(const std::vector<DeviceView>& fresh, const SignalModels& models,
                          MetricsText& out);

}  // namespace kv830host
