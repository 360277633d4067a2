// What a signal measures and the units that may express it. The plant controller scales
// nothing: a register holds counts, and a signal's scaling says what a count is worth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv830model {

enum class Quantity : std::uint8_t {
    State,  // an on/off signal or a status register: it keeps its texts, not a unit
    Mode,
    Count,
    Gain,
    Temperature,
    Pressure,
    Frequency,
    Level,
    Humidity,
    Conductivity,
    Ph,
    Turbidity,
    CorrosionRate,
    Concentration,
    Voltage,
    Current,
    Power,
    Energy,
    Time,
    Percentage,
};
constexpr std::size_t kQuantityCount = static_cast<std::size_t>(Quantity::Percentage) + 1;

// Enough for the longest list below; a quantity's list ends at the first nullptr.
constexpr std::size_t kMaxUnitsOfMeasurement = 8;

struct QuantityInfo {
    Quantity quantity;
    const char* name;  // as the settings document and the listings spell it
    // The units of measurement that fit, the plant model's first; "" alone for a
    // quantity that has none.
    const char* units_of_measurement[kMaxUnitsOfMeasurement];
    // Why a quantity has no unit of measurement, or nullptr when it has one.
    const char* no_unit_of_measurement_reason;
};

// In the order of Quantity. The micro sign is U+00B5, as Home Assistant spells it.
// clang-format off
inline constexpr QuantityInfo kQuantities[kQuantityCount] = {
    {Quantity::State, "state", {""},
     "an on/off signal or a status: its texts say what it means"},
    {Quantity::Mode, "mode", {""}, "a mode number: the controller's documentation names its modes"},
    {Quantity::Count, "count", {""}, "a number of things"},
    {Quantity::Gain, "gain", {""}, "a controller's gain is a ratio"},
    {Quantity::Temperature, "temperature", {"°C", "K", "°F"}, nullptr},
    {Quantity::Pressure, "pressure", {"kPa", "Pa", "hPa", "MPa", "bar", "mbar", "psi"}, nullptr},
    {Quantity::Frequency, "frequency", {"Hz", "kHz"}, nullptr},
    {Quantity::Level, "level", {"mm", "cm", "m"}, nullptr},
    {Quantity::Humidity, "humidity", {"%"}, nullptr},
    {Quantity::Conductivity, "conductivity", {"µS/cm", "mS/cm"}, nullptr},
    {Quantity::Ph, "ph", {""}, "pH is a number without unit"},
    {Quantity::Turbidity, "turbidity", {"NTU", "FNU"}, nullptr},
    {Quantity::CorrosionRate, "corrosion_rate", {"mm/a", "µm/a", "mpy"}, nullptr},
    {Quantity::Concentration, "concentration", {"ppm", "ppb", "mg/L"}, nullptr},
    {Quantity::Voltage, "voltage", {"V", "mV", "kV"}, nullptr},
    {Quantity::Current, "current", {"A", "mA"}, nullptr},
    {Quantity::Power, "power", {"kW", "W", "MW"}, nullptr},
    {Quantity::Energy, "energy", {"kWh", "Wh", "MWh"}, nullptr},
    {Quantity::Time, "time", {"s", "ms", "min", "h"}, nullptr},
    {Quantity::Percentage, "percentage", {"%"}, nullptr},
};
// clang-format on

constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

constexpr const QuantityInfo& quantity_info(Quantity q) {
    return kQuantities[static_cast<std::size_t>(q)];
}

constexpr bool unit_of_measurement_fits(Quantity q, const char* unit_of_measurement) {
    for (const char* u : quantity_info(q).units_of_measurement) {
        if (u != nullptr && same_text(u, unit_of_measurement)) {
            return true;
        }
    }
    return false;
}

// How a register's counts become a value of a quantity: value = counts * scale + offset,
// shown with `decimals` places.
struct Scaling {
    Quantity quantity;
    const char* unit_of_measurement;
    double scale;
    double offset;
    int decimals;
};

// The plant model's scalings, which plant-sim computes in and the gateway shows by
// default. A commissioning engineer checks them against the controller's documentation.
inline constexpr Scaling kOnOff{Quantity::State, "", 1.0, 0.0, 0};
inline constexpr Scaling kMode{Quantity::Mode, "", 1.0, 0.0, 0};
inline constexpr Scaling kGain{Quantity::Gain, "", 1.0, 0.0, 0};
inline constexpr Scaling kCelsius{Quantity::Temperature, "°C", 0.1, 0.0, 1};
inline constexpr Scaling kHumidity{Quantity::Humidity, "%", 0.1, 0.0, 1};
inline constexpr Scaling kHertz{Quantity::Frequency, "Hz", 0.1, 0.0, 1};
inline constexpr Scaling kKilopascals{Quantity::Pressure, "kPa", 1.0, 0.0, 0};
inline constexpr Scaling kMillimetres{Quantity::Level, "mm", 1.0, 0.0, 0};
inline constexpr Scaling kSeconds{Quantity::Time, "s", 1.0, 0.0, 0};
inline constexpr Scaling kPercent{Quantity::Percentage, "%", 1.0, 0.0, 0};
inline constexpr Scaling kMicrosiemens{Quantity::Conductivity, "µS/cm", 1.0, 0.0, 0};
inline constexpr Scaling kPh{Quantity::Ph, "", 0.01, 0.0, 2};
inline constexpr Scaling kNtu{Quantity::Turbidity, "NTU", 0.1, 0.0, 1};
inline constexpr Scaling kCorrosion{Quantity::CorrosionRate, "mm/a", 0.001, 0.0, 3};
inline constexpr Scaling kPpm{Quantity::Concentration, "ppm", 0.1, 0.0, 1};
inline constexpr Scaling kVolts{Quantity::Voltage, "V", 0.1, 0.0, 1};
inline constexpr Scaling kAmperes{Quantity::Current, "A", 0.1, 0.0, 1};
inline constexpr Scaling kKilowatts{Quantity::Power, "kW", 0.1, 0.0, 1};
inline constexpr Scaling kKilowattHours{Quantity::Energy, "kWh", 1.0, 0.0, 0};

// The register counts nearest to `value` (non-negative, within 16 bits: a plant-model
// default, not input).
constexpr std::uint16_t to_counts(const Scaling& s, double value) {
    return static_cast<std::uint16_t>((value - s.offset) / s.scale + 0.5);
}

// "temperature" for Quantity::Temperature; false for a name that is none.
bool parse_quantity(std::string_view name, Quantity& out);
std::vector<std::string> quantity_names();
// "°C, K or °F": the units that fit, for a refusal.
std::string units_of_measurement_text(Quantity q);

}  // namespace kv830model
