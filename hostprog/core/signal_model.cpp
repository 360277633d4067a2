#include "signal_model.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>

#include "option_table.h"

namespace kv830host {

namespace {

using kv830model::Alarm;
using kv830model::Quantity;

// A millionth of a count: what floating point may lose in scaling a register.
constexpr double kRangeSlack = 1e-6;

// The members an entry of "signals" may hold.
const std::vector<std::string>& override_members() {
    static const std::vector<std::string> members = {"quantity", "unit_of_measurement",
                                                     "scale",    "offset",
                                                     "decimals", "min",
                                                     "max",      "signed",
                                                     "alarm",    "priority"};
    return members;
}
// An on/off signal (bit, discrete input, enumeration) has no scale: only its marking.
const std::vector<std::string>& on_off_members() {
    static const std::vector<std::string> members = {"alarm", "priority"};
    return members;
}

bool is_one_of(const std::string& name, const std::vector<std::string>& names) {
    for (const std::string& n : names) {
        if (n == name) {
            return true;
        }
    }
    return false;
}

std::string did_you_mean(const std::string& word, const std::vector<std::string>& known) {
    const std::string near = kv830cli::nearest_name(word, known);
    return near.empty() ? std::string() : " (did you mean \"" + near + "\"?)";
}

// The fewest places that show every multiple of `scale` exactly: 0.1 needs 1, 0.25 two.
int decimals_for(double scale) {
    double step = std::fabs(scale);
    for (int d = 0; d < kMaxDecimals; ++d) {
        if (std::fabs(step - std::round(step)) < kRangeSlack * std::max(1.0, step)) {
            return d;
        }
        step *= 10.0;
    }
    return kMaxDecimals;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// One entry of "signals", read and checked member by member.
class Override {
  public:
    Override(const Json::Value& entry, SignalTraits& traits) : entry_(entry), traits_(traits) {}

    bool apply(std::string& error) {
        if (!entry_.isObject()) {
            error = "must be an object of overrides, as {\"scale\": 0.1}";
            return false;
        }
        const bool on_off_kind = traits_.row->kind != kv830::SignalKind::Value;
        for (const std::string& name : entry_.getMemberNames()) {
            if (name == "unit") {
                error =
                    "unknown member \"unit\": the unit a value is shown in is "
                    "\"unit_of_measurement\" (a signal's plant unit is fixed)";
                return false;
            }
            if (!is_one_of(name, override_members())) {
                error = "unknown member " + quoted(name) + did_you_mean(name, override_members());
                return false;
            }
            if (on_off_kind && !is_one_of(name, on_off_members())) {
                error =
                    "an on/off signal takes only \"alarm\" and \"priority\", not " + quoted(name);
                return false;
            }
        }
        const std::string default_unit_of_measurement = traits_.unit_of_measurement;
        if (!read_quantity(error) || !read_unit_of_measurement(error) || !read_scaling(error) ||
            !read_range(default_unit_of_measurement, error) || !read_alarm(error)) {
            return false;
        }
        traits_.overridden = true;
        return true;
    }

  private:
    // A finite number with |x| <= limit, when the member is present.
    bool read_number(const char* name, double limit, std::optional<double>& out,
                     std::string& error) const {
        if (!entry_.isMember(name)) {
            return true;
        }
        const Json::Value& v = entry_[name];
        if (!v.isNumeric() || !std::isfinite(v.asDouble()) || std::fabs(v.asDouble()) > limit) {
            char text[96];
            std::snprintf(text, sizeof text, "\"%s\" must be a number from %g to %g", name, -limit,
                          limit);
            error = text;
            return false;
        }
        out = v.asDouble();
        return true;
    }

    bool read_quantity(std::string& error) {
        if (!entry_.isMember("quantity")) {
            return true;
        }
        const Json::Value& v = entry_["quantity"];
        if (!v.isString()) {
            error = "\"quantity\" must be a quantity's name, as \"temperature\"";
            return false;
        }
        if (!kv830model::parse_quantity(v.asString(), traits_.quantity)) {
            error = "\"quantity\" " + quoted(v.asString()) + " is not one" +
                    did_you_mean(v.asString(), kv830model::quantity_names());
            return false;
        }
        return true;
    }

    bool read_unit_of_measurement(std::string& error) {
        if (entry_.isMember("unit_of_measurement")) {
            const Json::Value& v = entry_["unit_of_measurement"];
            if (!v.isString()) {
                error = "\"unit_of_measurement\" must be text, as \"°C\"";
                return false;
            }
            traits_.unit_of_measurement = v.asString();
        }
        if (!kv830model::unit_of_measurement_fits(traits_.quantity,
                                                  traits_.unit_of_measurement.c_str())) {
            const kv830model::QuantityInfo& q = kv830model::quantity_info(traits_.quantity);
            std::vector<std::string> known;
            for (const char* u : q.units_of_measurement) {
                if (u != nullptr) {
                    known.emplace_back(u);
                }
            }
            error = "unit_of_measurement " + quoted(traits_.unit_of_measurement) +
                    " does not fit " + q.name + ", which takes " +
                    kv830model::units_of_measurement_text(traits_.quantity) +
                    did_you_mean(traits_.unit_of_measurement, known);
            return false;
        }
        return true;
    }

    bool read_scaling(std::string& error) {
        std::optional<double> scale;
        std::optional<double> offset;
        if (!read_number("scale", kMaxScaleMagnitude, scale, error) ||
            !read_number("offset", kMaxEngineeringMagnitude, offset, error)) {
            return false;
        }
        if (scale && std::fabs(*scale) < kMinScaleMagnitude) {
            error = *scale == 0.0 ? "\"scale\" must not be 0: every value would read 0"
                                  : "\"scale\" is too small: at least 1e-06 either way";
            return false;
        }
        if (scale) {
            traits_.scale = *scale;
            traits_.decimals = decimals_for(*scale);
        }
        if (offset) {
            traits_.offset = *offset;
        }
        if (entry_.isMember("decimals")) {
            const Json::Value& v = entry_["decimals"];
            if (!v.isIntegral() || v.asLargestInt() < 0 || v.asLargestInt() > kMaxDecimals) {
                error = "\"decimals\" must be an integer from 0 to " + std::to_string(kMaxDecimals);
                return false;
            }
            traits_.decimals = static_cast<int>(v.asLargestInt());
        }
        if (entry_.isMember("signed")) {
            if (!entry_["signed"].isBool()) {
                error = "\"signed\" must be true or false";
                return false;
            }
            traits_.is_signed = entry_["signed"].asBool();
        }
        return true;
    }

    bool read_range(const std::string& default_unit_of_measurement, std::string& error) {
        std::optional<double> min;
        std::optional<double> max;
        if (!read_number("min", kMaxEngineeringMagnitude, min, error) ||
            !read_number("max", kMaxEngineeringMagnitude, max, error)) {
            return false;
        }
        // A range in the old unit would bound writes wrongly once the unit changes.
        if (traits_.unit_of_measurement != default_unit_of_measurement && (!min || !max)) {
            error = "the unit_of_measurement changes from " + quoted(default_unit_of_measurement) +
                    " to " + quoted(traits_.unit_of_measurement) +
                    ": give \"min\" and \"max\" in " + quoted(traits_.unit_of_measurement) + " too";
            return false;
        }
        traits_.min = min.value_or(traits_.min);
        traits_.max = max.value_or(traits_.max);
        if (traits_.min > traits_.max) {
            char text[96];
            std::snprintf(text, sizeof text, "\"min\" %g is above \"max\" %g", traits_.min,
                          traits_.max);
            error = text;
            return false;
        }
        return true;
    }

    bool read_alarm(std::string& error) {
        if (entry_.isMember("alarm")) {
            const Json::Value& v = entry_["alarm"];
            if (!v.isBool()) {
                error = "\"alarm\" must be true or false";
                return false;
            }
            if (v.asBool() && !traits_.on_off()) {
                error = std::string("\"alarm\" marks on/off signals; this one is a ") +
                        kv830model::quantity_info(traits_.quantity).name;
                return false;
            }
            if (!v.asBool()) {
                traits_.alarm = Alarm::None;
            } else if (traits_.alarm == Alarm::None) {
                traits_.alarm = Alarm::Alarm;
            }
        } else if (!traits_.on_off()) {
            // A status register given a quantity is no longer an alarm.
            traits_.alarm = Alarm::None;
        }
        if (!entry_.isMember("priority")) {
            return true;
        }
        const Json::Value& v = entry_["priority"];
        Alarm priority = Alarm::None;
        if (!v.isString() || !kv830model::parse_alarm_priority(v.asString(), priority)) {
            error = "\"priority\" must be \"fault\" or \"alarm\"";
            return false;
        }
        if (traits_.alarm == Alarm::None) {
            error = "\"priority\" is for alarms: mark the signal \"alarm\": true";
            return false;
        }
        traits_.alarm = priority;
        return true;
    }

    const Json::Value& entry_;
    SignalTraits& traits_;
};

SignalTraits traits_of(const kv830::SignalRow& row) {
    SignalTraits s;
    s.row = &row;
    const kv830model::SignalDefault* d = kv830model::find_default(row.key);
    if (d == nullptr) {
        // tests/signal_model checks that every name has a row; an unknown one shows raw.
        s.quantity = row.kind == kv830::SignalKind::Value ? Quantity::Count : Quantity::State;
        s.max = row.kind == kv830::SignalKind::Value ? 65535.0 : 1.0;
        return s;
    }
    s.quantity = d->scaling.quantity;
    s.unit_of_measurement = d->scaling.unit_of_measurement;
    s.scale = d->scaling.scale;
    s.offset = d->scaling.offset;
    s.decimals = d->scaling.decimals;
    s.min = d->min;
    s.max = d->max;
    // A quantity that may fall below zero (an outdoor temperature in winter) cannot be an
    // unsigned count: read as one, -5.0 °C would show as 6548.6 °C.
    s.is_signed = d->min < 0;
    s.alarm = d->alarm;
    return s;
}

}  // namespace

SignalModel::SignalModel() {
    std::unordered_map<std::string_view, std::size_t> last_row;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        last_row[kv830::kSignals[i].key] = i;
    }
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        if (last_row[row.key] == i) {
            by_name_.emplace(row.key, traits_.size());
            traits_.push_back(traits_of(row));
        }
    }
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        if (row.kind == kv830::SignalKind::Value || row.kind == kv830::SignalKind::Enum) {
            by_register_.emplace(row.source, by_name_.at(row.key));
        }
    }
}

const SignalTraits* SignalModel::find(std::string_view name) const {
    const auto found = by_name_.find(name);
    return found == by_name_.end() ? nullptr : &traits_[found->second];
}

const SignalTraits* SignalModel::find_register(int address) const {
    const auto found = by_register_.find(address);
    return found == by_register_.end() ? nullptr : &traits_[found->second];
}

bool SignalModel::apply_overrides(const Json::Value& signals, std::string& error) {
    if (!signals.isObject()) {
        error = "\"signals\" must be an object that maps signal names to overrides";
        return false;
    }
    std::vector<SignalTraits> traits_list = traits_;
    std::vector<std::string> names;
    for (const SignalTraits& s : traits_list) {
        names.emplace_back(s.row->key);
    }
    for (const std::string& name : signals.getMemberNames()) {
        const auto found = by_name_.find(name);
        if (found == by_name_.end()) {
            error = "signals: unknown signal " + quoted(name) + did_you_mean(name, names);
            return false;
        }
        Override entry(signals[name], traits_list[found->second]);
        if (!entry.apply(error)) {
            error = "signals." + name + ": " + error;
            return false;
        }
    }
    traits_ = std::move(traits_list);
    return true;
}

double raw_to_engineering(const SignalTraits& traits, std::uint16_t raw) {
    const double counts = traits.is_signed ? static_cast<double>(static_cast<std::int16_t>(raw))
                                           : static_cast<double>(raw);
    return counts * traits.scale + traits.offset;
}

bool engineering_to_raw(const SignalTraits& traits, double value, std::uint16_t& raw) {
    const double counts = std::round((value - traits.offset) / traits.scale);
    const double lowest = traits.is_signed ? -32768.0 : 0.0;
    const double highest = traits.is_signed ? 32767.0 : 65535.0;
    if (!std::isfinite(counts) || counts < lowest || counts > highest) {
        return false;
    }
    // Two's complement for a negative count of a signed register.
    raw = static_cast<std::uint16_t>(static_cast<std::int32_t>(counts) & 0xFFFF);
    return true;
}

bool document_counts(const Json::Value& value, std::uint16_t& raw) {
    if (value.isBool()) {
        return false;
    }
    if (value.isUInt()) {
        const unsigned n = value.asUInt();
        if (n > 0xFFFFU) {
            return false;
        }
        raw = static_cast<std::uint16_t>(n);
        return true;
    }
    if (value.isInt()) {
        const int n = value.asInt();
        if (n < -32768) {
            return false;
        }
        raw = static_cast<std::uint16_t>(static_cast<unsigned>(n) & 0xFFFFU);
        return true;
    }
    return false;
}

bool in_range(const SignalTraits& traits, double value) {
    const double slack = std::fabs(traits.scale) * kRangeSlack;
    return value >= traits.min - slack && value <= traits.max + slack;
}

bool check_setting_value(const SignalTraits& traits, std::uint16_t raw, std::string& reason) {
    const double value = raw_to_engineering(traits, raw);
    if (in_range(traits, value)) {
        return true;
    }
    reason = std::string(traits.row->key) + ": " + std::to_string(raw) + " is " +
             format_engineering(traits, value) + ", outside " + range_text(traits);
    return false;
}

bool setting_raw_range(const SignalTraits& traits, std::uint16_t& min_raw, std::uint16_t& max_raw) {
    double low = (traits.min - traits.offset) / traits.scale;
    double high = (traits.max - traits.offset) / traits.scale;
    if (traits.scale < 0.0) {
        std::swap(low, high);
    }
    const double lowest = traits.is_signed ? -32768.0 : 0.0;
    const double highest = traits.is_signed ? 32767.0 : 65535.0;
    const double first = std::max(lowest, std::ceil(low - kRangeSlack));
    const double last = std::min(highest, std::floor(high + kRangeSlack));
    if (first > last) {
        min_raw = 1;
        max_raw = 0;
        return true;
    }
    if (first < 0.0 && last >= 0.0) {
        return false;
    }
    const auto counts = [](double c) {
        return static_cast<std::uint16_t>(static_cast<std::int32_t>(c) & 0xFFFF);
    };
    min_raw = counts(first);
    max_raw = counts(last);
    return true;
}

std::string range_text(const SignalTraits& traits) {
    return format_number(traits.min, traits.decimals) + " to " +
           format_engineering(traits, traits.max);
}

std::string format_number(double value, int decimals) {
    // to_chars rounds as printf does, at a fraction of its cost: export formats every value
    // of every round.
    char text[64];
    const auto done =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    std::string out;
    if (done.ec == std::errc()) {
        out.assign(text, done.ptr);
    } else {
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        out = text;
    }
    // Rounding a small negative value to zero places gives "-0".
    if (out.front() == '-' && out.find_first_not_of("-0.") == std::string::npos) {
        out.erase(0, 1);
    }
    return out;
}

std::string format_engineering(const SignalTraits& traits, double value) {
    std::string out = format_number(value, traits.decimals);
    if (!traits.unit_of_measurement.empty()) {
        out += ' ';
        out += traits.unit_of_measurement;
    }
    return out;
}

}  // namespace kv830host
