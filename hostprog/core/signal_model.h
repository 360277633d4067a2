// The gateway's signal model of one device: the shared defaults (signal_model/), with a
// commissioning engineer's overrides from the settings document's "signals" member. The
// device's snapshot stays in register counts; every output presents it through this.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kv830_signals.h"
#include "signal_defaults.h"

namespace kv830host {

// Display places an override may ask for; a register has fewer significant digits.
constexpr int kMaxDecimals = 6;
// Bounds of an override's scale, either sign, and of its offset and range.
constexpr double kMinScaleMagnitude = 1e-6;
constexpr double kMaxScaleMagnitude = 1e6;
constexpr double kMaxEngineeringMagnitude = 1e12;

struct SignalTraits {
    // The row the snapshot shows: for a name given twice, the later one.
    const kv830::SignalRow* row = nullptr;
    kv830model::Quantity quantity = kv830model::Quantity::State;
    std::string unit_of_measurement;  // never the plant unit, which is row->unit
    double scale = 1.0;
    double offset = 0.0;
    int decimals = 0;
    double min = 0.0;  // in the scaled unit of measurement
    double max = 0.0;
    bool is_signed = false;  // the register holds a two's complement number
    kv830model::Alarm alarm = kv830model::Alarm::None;
    bool overridden = false;  // the settings document changed it

    bool on_off() const { return quantity == kv830model::Quantity::State; }
    // A register's value, shown scaled; bits, inputs and enumerations show their texts.
    bool scaled() const { return row != nullptr && row->kind == kv830::SignalKind::Value; }
};

class SignalModel {
  public:
    // The defaults, one traits per signal name in the order of the controller's table.
    SignalModel();

    // Applies a settings document's "signals" object. A refusal names the signal and the
    // member, and suggests the nearest known name; the model is then unchanged.
    bool apply_overrides(const Json::Value& signals, std::string& error);

    const std::vector<SignalTraits>& signals() const { return traits_; }
    const SignalTraits* find(std::string_view name) const;
    // The value or enumeration held by holding register `address`, or nullptr (bits and
    // registers without a signal). Both registers of a name given twice find it.
    const SignalTraits* find_register(int address) const;

  private:
    std::vector<SignalTraits> traits_;
    std::unordered_map<std::string_view, std::size_t> by_name_;
    std::unordered_map<int, std::size_t> by_register_;
};

// Register counts to the scaled value, and back to the nearest counts (false when the
// value does not fit the register).
double raw_to_engineering(const SignalTraits& traits, std::uint16_t raw);
bool engineering_to_raw(const SignalTraits& traits, double value, std::uint16_t& raw);

// The counts a snapshot document holds for a value signal: a number from 0 to 65535, or a
// signed register's negative count. False for anything else (text, a fraction, null).
bool document_counts(const Json::Value& value, std::uint16_t& raw);

// Within [min, max], give or take a millionth of a count, so that 0.1 * 3 counts as 0.3.
bool in_range(const SignalTraits& traits, double value);

// For the write rule: a write carries counts, the range is scaled. True when `raw` lies in
// the setting's range; otherwise `reason` says so in the signal's unit of measurement:
// "冷冻水供水主管温度设定: 1007 is 100.7 °C, outside 4.0 to 15.0 °C".
bool check_setting_value(const SignalTraits& traits, std::uint16_t raw, std::string& reason);

// The setting's range as one run of register counts, for a rule that compares counts
// (WritableRegisters::set_range). False when the range is two runs (a signed register
// whose range spans 0): check_setting_value then decides. A range that no count meets
// gives min_raw > max_raw.
bool setting_raw_range(const SignalTraits& traits, std::uint16_t& min_raw, std::uint16_t& max_raw);
// "4.0 to 15.0 °C"
std::string range_text(const SignalTraits& traits);

// "6.5 °C": the value with the traits's decimals and unit of measurement.
std::string format_engineering(const SignalTraits& traits, double value);
// The number alone with `decimals` places ("6.5", never "-0.0").
std::string format_number(double value, int decimals);

}  // namespace kv830host
