// The signal model's defaults: for each signal of the controller, keyed by its name, what
// it measures, how its counts scale, the range a plausible value lies in and whether it
// is an alarm. plant-sim computes in these scalings and the gateway shows them, so the
// two cannot drift apart; tests/signal_model walks the table against both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quantity.h"

namespace kv830model {

// An alarm's priority, lowest first; None for a signal that is not an alarm.
enum class Alarm : std::uint8_t { None, Alarm, Fault };

struct SignalDefault {
    const char* name;  // the controller's signal name, as the snapshot document has it
    Scaling scaling;
    // In the scaled unit: for a setting the values a remote write may set, for a reading
    // the values that are plausible (outside, a value is flagged, never refused).
    double min;
    double max;
    Alarm alarm = Alarm::None;
};

// One row per signal name of the controller's table (a name given twice has one row).
extern const SignalDefault kSignalDefaults[];
extern const std::size_t kSignalDefaultCount;

// The row of `name`, or nullptr.
const SignalDefault* find_default(std::string_view name);

// "fault" and "alarm"; "" for None.
const char* alarm_name(Alarm alarm);
bool parse_alarm_priority(std::string_view name, Alarm& out);

}  // namespace kv830model
