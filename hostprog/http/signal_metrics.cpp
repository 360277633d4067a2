#include "signal_metrics.h"

#include <json/value.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "plant_state.h"

namespace kv830host {

namespace {

using kv830model::Quantity;

struct UnitRow {
    Quantity quantity;
    const char* unit_of_measurement;
    BaseUnit base;
};

constexpr double kPascalsPerPsi = 6894.757293168361;
constexpr double kJoulesPerKilowattHour = 3.6e6;

// Prometheus wants base units: pascals, not kilopascals; a ratio, not a percentage. Energy
// is a counter (the register only grows, and wraps at 65536 kWh, which a counter takes for
// a reset); corrosion stays per year, since per second would only hide the digits.
constexpr const char* kTemperature = "kv830_temperature_celsius";
constexpr const char* kTemperatureHelp = "Temperatures in degrees Celsius.";
constexpr const char* kPressure = "kv830_pressure_pascals";
constexpr const char* kPressureHelp = "Pressures in pascals.";
constexpr const char* kFrequency = "kv830_frequency_hertz";
constexpr const char* kFrequencyHelp = "Frequencies in hertz (drives' output).";
constexpr const char* kLevel = "kv830_level_meters";
constexpr const char* kLevelHelp = "Levels in meters.";
constexpr const char* kHumidity = "kv830_humidity_ratio";
constexpr const char* kHumidityHelp = "Relative humidity, 0 to 1.";
constexpr const char* kConductivity = "kv830_conductivity_siemens_per_meter";
constexpr const char* kConductivityHelp = "Conductivity in siemens per meter.";
constexpr const char* kCorrosion = "kv830_corrosion_rate_meters_per_year";
constexpr const char* kCorrosionHelp = "Corrosion rates in meters per year.";
constexpr const char* kRatioConcentration = "kv830_concentration_ratio";
constexpr const char* kRatioConcentrationHelp = "Concentrations as a ratio (1 ppm is 1e-06).";
constexpr const char* kMassConcentration = "kv830_concentration_kilograms_per_cubic_meter";
constexpr const char* kMassConcentrationHelp = "Mass concentrations in kg/m3 (g/L).";
constexpr const char* kVoltage = "kv830_voltage_volts";
constexpr const char* kVoltageHelp = "Voltages in volts.";
constexpr const char* kCurrent = "kv830_current_amperes";
constexpr const char* kCurrentHelp = "Currents in amperes.";
constexpr const char* kPower = "kv830_power_watts";
constexpr const char* kPowerHelp = "Active power in watts.";
constexpr const char* kEnergy = "kv830_energy_joules_total";
constexpr const char* kEnergyHelp =
    "Energy meter readings in joules; the register wraps at 65536 kWh, seen as a reset.";
constexpr const char* kDuration = "kv830_duration_seconds";
constexpr const char* kDurationHelp = "Times (delays, run times) in seconds.";
constexpr const char* kRatio = "kv830_ratio";
constexpr const char* kRatioHelp = "Percentages as a ratio, 0 to 1.";

// clang-format off
const UnitRow kUnitRows[] = {
    {Quantity::Temperature, "°C", {kTemperature, "gauge", kTemperatureHelp, 1.0, 0.0}},
    {Quantity::Temperature, "K", {kTemperature, "gauge", kTemperatureHelp, 1.0, -273.15}},
    {Quantity::Temperature, "°F", {kTemperature, "gauge", kTemperatureHelp, 5.0 / 9.0, -160.0 / 9.0}},
    {Quantity::Pressure, "kPa", {kPressure, "gauge", kPressureHelp, 1e3, 0.0}},
    {Quantity::Pressure, "Pa", {kPressure, "gauge", kPressureHelp, 1.0, 0.0}},
    {Quantity::Pressure, "hPa", {kPressure, "gauge", kPressureHelp, 1e2, 0.0}},
    {Quantity::Pressure, "MPa", {kPressure, "gauge", kPressureHelp, 1e6, 0.0}},
    {Quantity::Pressure, "bar", {kPressure, "gauge", kPressureHelp, 1e5, 0.0}},
    {Quantity::Pressure, "mbar", {kPressure, "gauge", kPressureHelp, 1e2, 0.0}},
    {Quantity::Pressure, "psi", {kPressure, "gauge", kPressureHelp, kPascalsPerPsi, 0.0}},
    {Quantity::Frequency, "Hz", {kFrequency, "gauge", kFrequencyHelp, 1.0, 0.0}},
    {Quantity::Frequency, "kHz", {kFrequency, "gauge", kFrequencyHelp, 1e3, 0.0}},
    {Quantity::Level, "mm", {kLevel, "gauge", kLevelHelp, 1e-3, 0.0}},
    {Quantity::Level, "cm", {kLevel, "gauge", kLevelHelp, 1e-2, 0.0}},
    {Quantity::Level, "m", {kLevel, "gauge", kLevelHelp, 1.0, 0.0}},
    {Quantity::Humidity, "%", {kHumidity, "gauge", kHumidityHelp, 1e-2, 0.0}},
    {Quantity::Conductivity, "µS/cm", {kConductivity, "gauge", kConductivityHelp, 1e-4, 0.0}},
    {Quantity::Conductivity, "mS/cm", {kConductivity, "gauge", kConductivityHelp, 1e-1, 0.0}},
    {Quantity::Ph, "", {"kv830_ph", "gauge", "pH values.", 1.0, 0.0}},
    {Quantity::Turbidity, "NTU", {"kv830_turbidity_ntu", "gauge", "Turbidity in NTU.", 1.0, 0.0}},
    {Quantity::Turbidity, "FNU", {"kv830_turbidity_fnu", "gauge", "Turbidity in FNU.", 1.0, 0.0}},
    {Quantity::CorrosionRate, "mm/a", {kCorrosion, "gauge", kCorrosionHelp, 1e-3, 0.0}},
    {Quantity::CorrosionRate, "µm/a", {kCorrosion, "gauge", kCorrosionHelp, 1e-6, 0.0}},
    {Quantity::CorrosionRate, "mpy", {kCorrosion, "gauge", kCorrosionHelp, 2.54e-5, 0.0}},
    {Quantity::Concentration, "ppm", {kRatioConcentration, "gauge", kRatioConcentrationHelp, 1e-6, 0.0}},
    {Quantity::Concentration, "ppb", {kRatioConcentration, "gauge", kRatioConcentrationHelp, 1e-9, 0.0}},
    {Quantity::Concentration, "mg/L", {kMassConcentration, "gauge", kMassConcentrationHelp, 1e-3, 0.0}},
    {Quantity::Voltage, "V", {kVoltage, "gauge", kVoltageHelp, 1.0, 0.0}},
    {Quantity::Voltage, "mV", {kVoltage, "gauge", kVoltageHelp, 1e-3, 0.0}},
    {Quantity::Voltage, "kV", {kVoltage, "gauge", kVoltageHelp, 1e3, 0.0}},
    {Quantity::Current, "A", {kCurrent, "gauge", kCurrentHelp, 1.0, 0.0}},
    {Quantity::Current, "mA", {kCurrent, "gauge", kCurrentHelp, 1e-3, 0.0}},
    {Quantity::Power, "kW", {kPower, "gauge", kPowerHelp, 1e3, 0.0}},
    {Quantity::Power, "W", {kPower, "gauge", kPowerHelp, 1.0, 0.0}},
    {Quantity::Power, "MW", {kPower, "gauge", kPowerHelp, 1e6, 0.0}},
    {Quantity::Energy, "kWh", {kEnergy, "counter", kEnergyHelp, kJoulesPerKilowattHour, 0.0}},
    {Quantity::Energy, "Wh", {kEnergy, "counter", kEnergyHelp, kJoulesPerKilowattHour / 1e3, 0.0}},
    {Quantity::Energy, "MWh", {kEnergy, "counter", kEnergyHelp, kJoulesPerKilowattHour * 1e3, 0.0}},
    {Quantity::Time, "s", {kDuration, "gauge", kDurationHelp, 1.0, 0.0}},
    {Quantity::Time, "ms", {kDuration, "gauge", kDurationHelp, 1e-3, 0.0}},
    {Quantity::Time, "min", {kDuration, "gauge", kDurationHelp, 60.0, 0.0}},
    {Quantity::Time, "h", {kDuration, "gauge", kDurationHelp, 3600.0, 0.0}},
    {Quantity::Percentage, "%", {kRatio, "gauge", kRatioHelp, 1e-2, 0.0}},
    {Quantity::Count, "", {"kv830_count", "gauge", "Numbers of things (starts, units running).", 1.0, 0.0}},
    {Quantity::Gain, "", {"kv830_gain", "gauge", "Controller gains, without unit.", 1.0, 0.0}},
};
// clang-format on

struct Sample {
    std::size_t row;  // in kUnitRows: the family's first row decides its order
    unsigned data_id;
    const char* signal;
    double value;
};

// A register holds five digits at most: twelve significant digits keep every one and drop
// the binary noise of the scaling (11.7, not 11.700000000000001).
constexpr int kSignificantDigits = 12;

double without_noise(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", kSignificantDigits, value);
    return std::strtod(text, nullptr);
}

const Json::Value* member(const Json::Value& doc, const char* key) {
    return doc.find(key, key + std::strlen(key));
}

// The first row of a metric name, so that the rows of one family sort together.
std::size_t family_row(const char* metric) {
    for (std::size_t i = 0; i < std::size(kUnitRows); ++i) {
        if (std::strcmp(kUnitRows[i].base.metric, metric) == 0) {
            return i;
        }
    }
    return 0;
}

MetricLabels signal_labels(unsigned data_id, const char* signal) {
    return {
        {"data_id", std::to_string(data_id)},
        {"signal",  signal                 }
    };
}

void write_raw(const std::vector<DeviceView>& fresh, const SignalModels& models, MetricsText& out) {
    out.family("kv830_signal", "gauge",
               "Numeric signals of the latest fresh snapshot in register counts (bits 0 or 1), "
               "for troubleshooting.");
    for (const DeviceView& d : fresh) {
        for (const SignalTraits& s : model_for(models, d.data_id).signals()) {
            if (s.row->kind == kv830::SignalKind::Enum) {
                continue;
            }
            const Json::Value* value = member(*d.document, s.row->key);
            if (value != nullptr && value->isNumeric()) {
                out.sample("kv830_signal", signal_labels(d.data_id, s.row->key), value->asDouble());
            }
        }
    }
}

void write_states(const std::vector<DeviceView>& fresh, const SignalModels& models,
                  MetricsText& out) {
    const char* name = "kv830_signal_state";
    out.family(name, "gauge",
               "Enumerated signals: 1 for the state the controller reports, 0 for the others.");
    for (const DeviceView& d : fresh) {
        for (const SignalTraits& s : model_for(models, d.data_id).signals()) {
            const kv830::SignalRow& row = *s.row;
            const Json::Value* value = member(*d.document, row.key);
            if (row.kind != kv830::SignalKind::Enum || value == nullptr || !value->isString()) {
                continue;
            }
            const std::string shown = value->asString();
            for (const char* state : {row.text0, row.text1, kv830::kInvalidText}) {
                if (state == nullptr) {
                    continue;
                }
                MetricLabels labels = signal_labels(d.data_id, row.key);
                labels.emplace_back("state", state);
                out.sample(name, labels, shown == state ? 1ULL : 0ULL);
            }
        }
    }
}

}  // namespace

const SignalModel& model_for(const SignalModels& models, unsigned data_id) {
    static const SignalModel defaults;
    const auto found = models.find(data_id);
    return found == models.end() || found->second == nullptr ? defaults : *found->second;
}

bool base_unit_of(const SignalTraits& traits, BaseUnit& out) {
    for (const UnitRow& row : kUnitRows) {
        if (row.quantity == traits.quantity &&
            traits.unit_of_measurement == row.unit_of_measurement) {
            out = row.base;
            return true;
        }
    }
    return false;
}

void write_signal_metrics(const std::vector<DeviceView>& fresh, const SignalModels& models,
                          MetricsText& out) {
    std::vector<Sample> samples;
    std::vector<Sample> outside;
    for (const DeviceView& d : fresh) {
        for (const SignalTraits& s : model_for(models, d.data_id).signals()) {
            std::uint16_t raw = 0;
            const Json::Value* value = member(*d.document, s.row->key);
            BaseUnit base{};
            if (!s.scaled() || value == nullptr || !document_counts(*value, raw) ||
                !base_unit_of(s, base)) {
                continue;
            }
            const double scaled = raw_to_engineering(s, raw);
            samples.push_back({family_row(base.metric), d.data_id, s.row->key,
                               without_noise(scaled * base.factor + base.offset)});
            outside.push_back({0, d.data_id, s.row->key, in_range(s, scaled) ? 0.0 : 1.0});
        }
    }
    std::stable_sort(samples.begin(), samples.end(),
                     [](const Sample& a, const Sample& b) { return a.row < b.row; });
    for (const Sample& sample : samples) {
        const BaseUnit& base = kUnitRows[sample.row].base;
        out.family(base.metric, base.type, base.help);
        out.sample(base.metric, signal_labels(sample.data_id, sample.signal), sample.value);
    }
    write_raw(fresh, models, out);
    write_states(fresh, models, out);
    const char* range = "kv830_signal_out_of_range";
    out.family(range, "gauge",
               "1 while a value lies outside its plausible range (a setting: the range a "
               "write may set).");
    for (const Sample& sample : outside) {
        out.sample(range, signal_labels(sample.data_id, sample.signal),
                   sample.value != 0.0 ? 1ULL : 0ULL);
    }
}

}  // namespace kv830host
