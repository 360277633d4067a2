#include "ha_sensor_class.h"

#include <cstddef>

namespace kv830host {

namespace {

using kv830model::Quantity;

constexpr std::size_t kMaxHaUnits = 8;

struct HaClassRow {
    Quantity quantity;
    const char* device_class;
    // The units Home Assistant takes for the device class, as far as our quantities have
    // them; the list ends at the first nullptr. "" stands for a class without unit (pH).
    const char* units[kMaxHaUnits];
};

// From Home Assistant's sensor rules (the units each device class takes). Left out on
// purpose: MPa and kV, which releases before 2025 refuse; ppm, whose device classes name a
// gas; turbidity and corrosion rate, which have no class; a percentage of anything but air
// humidity.
// clang-format off
constexpr HaClassRow kHaClasses[] = {
    {Quantity::Temperature,  "temperature",  {"°C", "°F", "K"}},
    {Quantity::Pressure,     "pressure",     {"Pa", "hPa", "kPa", "bar", "mbar", "psi"}},
    {Quantity::Frequency,    "frequency",    {"Hz", "kHz"}},
    {Quantity::Level,        "distance",     {"mm", "cm", "m"}},
    {Quantity::Humidity,     "humidity",     {"%"}},
    {Quantity::Conductivity, "conductivity", {"µS/cm", "mS/cm"}},
    {Quantity::Ph,           "ph",           {""}},
    {Quantity::Voltage,      "voltage",      {"V", "mV"}},
    {Quantity::Current,      "current",      {"A", "mA"}},
    {Quantity::Power,        "power",        {"W", "kW", "MW"}},
    {Quantity::Energy,       "energy",       {"Wh", "kWh", "MWh"}},
    {Quantity::Time,         "duration",     {"s", "ms", "min", "h"}},
};
// clang-format on

}  // namespace

HaSensorClass ha_sensor_class(Quantity quantity, const std::string& unit_of_measurement) {
    HaSensorClass out;
    switch (quantity) {
        case Quantity::State:
        case Quantity::Mode:
            // A state or a mode number is named, not measured: statistics of it mean nothing.
            return out;
        case Quantity::Energy:
            // The meter counts up and wraps at 65536 kWh, which Home Assistant takes as a new
            // meter cycle; its Energy dashboard takes only a total.
            out.state_class = "total_increasing";
            break;
        default:
            out.state_class = "measurement";
            break;
    }
    for (const HaClassRow& row : kHaClasses) {
        if (row.quantity != quantity) {
            continue;
        }
        for (const char* unit : row.units) {
            if (unit != nullptr && unit_of_measurement == unit) {
                out.device_class = row.device_class;
            }
        }
    }
    return out;
}

}  // namespace kv830host
