#include "plant_model.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace plantsim {

namespace {

// Setpoints a commissioned plant would hold, in the signal model's scaled units; every
// other register starts at 0.
using kv830model::to_counts;
constexpr std::pair<int, std::uint16_t> kDefaults[] = {
    {reg::kManualMode,            to_counts(scaled::kMode,        3)   },
    {reg::kModeSwitchTemp1,       to_counts(scaled::kCelsius,     12.0)},
    {reg::kModeSwitchTemp2,       to_counts(scaled::kCelsius,     18.0)},
    {reg::kModeSwitchTemp3,       to_counts(scaled::kCelsius,     30.0)},
    {reg::kModeSwitchDelay1,      to_counts(scaled::kSeconds,     30)  },
    {reg::kModeSwitchDelay,       to_counts(scaled::kSeconds,     30)  },
    {reg::kCircPumpManualFreq,    to_counts(scaled::kHertz,       40.0)},
    {reg::kSupplyTempSetpoint,    to_counts(scaled::kCelsius,     7.0) },
    {reg::kCircPumpP,             to_counts(scaled::kGain,        40)  },
    {21,                          to_counts(scaled::kSeconds,     120) },
    {22,                          to_counts(scaled::kSeconds,     0)   },
    {reg::kTowerManualFreq,       to_counts(scaled::kHertz,       35.0)},
    {24,                          to_counts(scaled::kHertz,       35.0)},
    {25,                          to_counts(scaled::kHertz,       35.0)},
    {26,                          to_counts(scaled::kHertz,       35.0)},
    {reg::kTowerOutletSetpoint,   to_counts(scaled::kCelsius,     30.0)},
    {reg::kTowerFanP,             to_counts(scaled::kGain,        40)  },
    {29,                          to_counts(scaled::kSeconds,     90)  },
    {30,                          to_counts(scaled::kSeconds,     0)   },
    {reg::kTankLevelAllowPump,    to_counts(scaled::kMillimetres, 500) },
    {reg::kTankLevelForbidPump,   to_counts(scaled::kMillimetres, 300) },
    {reg::kBasinLevelStartPump,   to_counts(scaled::kMillimetres, 300) },
    {reg::kBasinLevelStopPump,    to_counts(scaled::kMillimetres, 450) },
    {reg::kMakeupPumpFreq,        to_counts(scaled::kHertz,       45.0)},
    {reg::kSelfCircPumpFreq,      to_counts(scaled::kHertz,       40.0)},
    {reg::kCircPumpFreqLow,       to_counts(scaled::kHertz,       25.0)},
    {reg::kCircPumpFreqHigh,      to_counts(scaled::kHertz,       50.0)},
    {reg::kTowerFreqLow,          to_counts(scaled::kHertz,       20.0)},
    {reg::kTowerFreqHigh,         to_counts(scaled::kHertz,       50.0)},
    {reg::kStartJudgeDelay,       to_counts(scaled::kSeconds,     120) },
    {reg::kMakeupValveOpenLevel,  to_counts(scaled::kMillimetres, 600) },
    {reg::kMakeupValveCloseLevel, to_counts(scaled::kMillimetres, 1600)},
    {reg::kChillerSetpoint,       to_counts(scaled::kCelsius,     7.0) },
    {246,                         to_counts(scaled::kCelsius,     15.0)}, // chiller condenser inlet
    {247,                         to_counts(scaled::kCelsius,     37.0)},
    {248,                         to_counts(scaled::kMillimetres, 150) }, // basin level
    {249,                         to_counts(scaled::kMillimetres, 700) },
    {250,                         to_counts(scaled::kHumidity,    20.0)}, // outdoor humidity
    {251,                         to_counts(scaled::kHumidity,    95.0)},
    {252,                         to_counts(scaled::kCelsius,     5.0) }, // outdoor temperature
    {253,                         to_counts(scaled::kCelsius,     38.0)},
    {254,                         to_counts(scaled::kKilopascals, 100) }, // return header pressure
    {255,                         to_counts(scaled::kKilopascals, 400) },
    {256,                         to_counts(scaled::kKilopascals, 120) }, // supply header pressure
    {257,                         to_counts(scaled::kKilopascals, 600) },
    {258,                         to_counts(scaled::kCelsius,     5.0) }, // plate condenser inlet
    {259,                         to_counts(scaled::kCelsius,     37.0)},
    {260,                         to_counts(scaled::kCelsius,     8.0) }, // return header temperature
    {261,                         to_counts(scaled::kCelsius,     18.0)},
    {262,                         to_counts(scaled::kCelsius,     4.0) }, // supply header temperature
    {263,                         to_counts(scaled::kCelsius,     15.0)},
    {264,                         to_counts(scaled::kMillimetres, 300) }, // make-up tank level
    {265,                         to_counts(scaled::kMillimetres, 1900)},
};

// Outdoor temperature (0.1 °C) above which the second, third and fourth tower join.
constexpr double kTowerStages[kTowerCount] = {-1e9, 200.0, 260.0, 310.0};
constexpr double kStageHysteresis = 10.0;

constexpr double kFreqRamp = 20.0;  // 0.1 Hz per second
constexpr double kMinRunningFreq = 50.0;
constexpr double kSettleSeconds = 900.0;

double clampd(double v, double lo, double hi) {
    return std::max(lo, std::min(hi, v));
}
double cube(double x) {
    return x * x * x;
}

bool is_alarm_source(int r) {
    if (r >= reg::kLimitFirst && r < reg::kLimitFirst + 2 * kAlarmPairCount) {
        return true;
    }
    for (const AlarmPair& p : kAlarmPairs) {
        if (p.value_reg == r) {
            return true;
        }
    }
    return false;
}

}  // namespace

PlantModel::PlantModel(const ModelConfig& config) : config_(config), rng_(config.seed) {
    for (const auto& [r, v] : kDefaults) {
        hr_[static_cast<std::size_t>(r)] = v;
    }
    std::uint16_t command = 0;
    command = with_bit(command, reg::kBitSystemStart, true);
    command = with_bit(command, reg::kBitModeAuto, true);
    command = with_bit(command, reg::kBitCircPumpFreqAuto, true);
    for (int t = 0; t < kTowerCount; ++t) {
        command = with_bit(command, reg::kBitTowerFreqAuto + t, true);
    }
    command = with_bit(command, reg::kBitMakeupFreqAuto, true);
    hr_[reg::kCommand] = command;
    for (int d = 0; d < kDriveCount; ++d) {
        set_bit(drive_auto_bit(d).reg, drive_auto_bit(d).bit, true);
    }
    for (int v = 0; v < kValveCount; ++v) {
        set_bit(valve_auto_bit(v).reg, valve_auto_bit(v).bit, true);
    }
    set_bit(reg::kChillerStatus, reg::kBitChillerAuto, true);

    std::uniform_real_distribution<double> unit(0.0, 1.0);
    outdoor_base_ = 230.0 + 60.0 * unit(rng_);
    day_phase_ = 6.283 * unit(rng_);
    outdoor_temp_ = outdoor_base_;
    humidity_ = 550.0 + 200.0 * unit(rng_);
    supply_temp_ = 75.0;
    return_temp_ = 120.0;
    cooling_water_temp_ = outdoor_temp_;
    tank_temp_ = outdoor_temp_ - 30.0;
    tank_level_ = 900.0 + 500.0 * unit(rng_);
    basin_level_ = 320.0 + 100.0 * unit(rng_);
    conductivity_ = 1300.0 + 300.0 * unit(rng_);
    ph_ = 805.0;
    turbidity_ = 30.0;
    corrosion_ = 40.0;
    tracer_ = 50.0;
    discharge_temp_ = outdoor_temp_;
    energy_kwh_ = 10000.0 + 20000.0 * unit(rng_);
    for (ValveState& v : valves_) {
        v.travel = 15.0 + 15.0 * unit(rng_);
    }

    // Start from a plant that has been running for a while, so that even a frozen image
    // is a consistent one: drives up to speed, valves at their ends, levels settled.
    for (int second = 0; second < static_cast<int>(kSettleSeconds); ++second) {
        step(1.0);
    }
    fault_rate_ = config_.faults_per_hour;
}

void PlantModel::advance(double seconds) {
    if (config_.frozen) {
        return;
    }
    while (seconds > 1e-9) {
        const double dt = std::min(1.0, seconds);
        step(dt);
        seconds -= dt;
    }
}

// The state a write of a measured value sets, so that the model goes on from the value
// written rather than jumping back.
double* PlantModel::state_of(int r) {
    static const std::pair<int, double PlantModel::*> kStates[] = {
        {reg::kChilledSupplyTemp,    &PlantModel::supply_temp_       },
        {reg::kChilledReturnTemp,    &PlantModel::return_temp_       },
        {reg::kChillerCondInTemp,    &PlantModel::cooling_water_temp_},
        {reg::kTankTemp,             &PlantModel::tank_temp_         },
        {reg::kOutdoorTemp,          &PlantModel::outdoor_temp_      },
        {reg::kOutdoorHumidity,      &PlantModel::humidity_          },
        {reg::kTankLevel,            &PlantModel::tank_level_        },
        {reg::kBasinLevel,           &PlantModel::basin_level_       },
        {reg::kChillerDischargeTemp, &PlantModel::discharge_temp_    },
        {reg::kChillerCurrent,       &PlantModel::chiller_current_   },
        {reg::kConductivity,         &PlantModel::conductivity_      },
        {reg::kPh,                   &PlantModel::ph_                },
        {reg::kTurbidity,            &PlantModel::turbidity_         },
        {reg::kCorrosion,            &PlantModel::corrosion_         },
        {reg::kTracer,               &PlantModel::tracer_            },
        {reg::kTotalEnergy,          &PlantModel::energy_kwh_        },
    };
    if (r >= reg::kFreqFeedback && r < reg::kFreqFeedback + kDriveCount) {
        return &drives_[static_cast<std::size_t>(r - reg::kFreqFeedback)].freq;
    }
    for (const auto& [address, member] : kStates) {
        if (address == r) {
            return &(this->*member);
        }
    }
    return nullptr;
}

void PlantModel::write(int first, const std::uint16_t* values, int count) {
    bool alarms_touched = false;
    bool alarm_bits_written = false;
    for (int i = 0; i < count; ++i) {
        const int r = first + i;
        hr_[static_cast<std::size_t>(r)] = values[i];
        alarms_touched = alarms_touched || is_alarm_source(r);
        alarm_bits_written = alarm_bits_written || r == 244 || r == 245;
        if (double* state = state_of(r)) {
            *state = values[i];
        }
    }
    acknowledge_valve_faults(first, count);
    // A new limit or value shows in the alarm bits at once, also in a frozen plant, unless
    // the write sets the alarm bits itself.
    if (alarms_touched && !alarm_bits_written) {
        evaluate_alarms(hr_);
    }
}

// The valve fault bits are latched by the controller; writing them is how an operator
// acknowledges (or forces) a fault.
void PlantModel::acknowledge_valve_faults(int first, int count) {
    for (int k = 0; k < kValveCount; ++k) {
        const BitRef of = valve_open_fault_bit(k);
        const BitRef cf = valve_close_fault_bit(k);
        if (of.reg >= first && of.reg < first + count) {
            ValveState& valve = valves_[static_cast<std::size_t>(k)];
            valve.open_fault = bit(of.reg, of.bit);
            valve.close_fault = bit(cf.reg, cf.bit);
            if (!valve.open_fault && !valve.close_fault) {
                valve.stuck = false;
                valve.stall = 0.0;
            }
        }
    }
}

void PlantModel::evaluate_alarms(Holding& hr) {
    for (int p = 0; p < kAlarmPairCount; ++p) {
        const AlarmPair& a = kAlarmPairs[p];
        const std::uint16_t value = hr[static_cast<std::size_t>(a.value_reg)];
        const std::uint16_t low = hr[static_cast<std::size_t>(a.low_reg)];
        const std::uint16_t high = hr[static_cast<std::size_t>(a.low_reg) + 1];
        const BitRef lb = alarm_low_bit(p);
        const BitRef hb = alarm_high_bit(p);
        auto& lr = hr[static_cast<std::size_t>(lb.reg)];
        lr = with_bit(lr, lb.bit, value < low);
        auto& hrr = hr[static_cast<std::size_t>(hb.reg)];
        hrr = with_bit(hrr, hb.bit, value > high);
    }
}

void PlantModel::step(double dt) {
    time_ += dt;
    step_environment(dt);
    step_mode(dt);
    step_drives(dt);
    step_valves(dt);
    step_chiller(dt);
    step_water(dt);
    step_water_treatment(dt);
    step_meter(dt);
    render();
}

void PlantModel::step_environment(double dt) {
    const double daily = 50.0 * std::sin(6.283185 * time_ / 86400.0 + day_phase_);
    outdoor_temp_ = relax(outdoor_temp_, outdoor_base_ + daily, 900.0, dt) + noise(0.6 * dt);
    humidity_ = clampd(relax(humidity_, 650.0, 1800.0, dt) + noise(1.5 * dt), 100.0, 1000.0);
    tank_temp_ = relax(tank_temp_, outdoor_temp_ - 30.0, 1800.0, dt) + noise(0.1 * dt);
}

void PlantModel::step_mode(double dt) {
    if (!bit(reg::kCommand, reg::kBitSystemStart)) {
        mode_ = 0;
        pending_for_ = 0.0;
        return;
    }
    if (!bit(reg::kCommand, reg::kBitModeAuto)) {
        const int manual = get(reg::kManualMode);
        if (manual >= 1 && manual <= 4) {
            mode_ = manual;
        } else if (mode_ == 0) {
            mode_ = 3;
        }
        pending_for_ = 0.0;
        return;
    }
    const double t = outdoor_temp_;
    int desired = 4;
    if (t < get(reg::kModeSwitchTemp1)) {
        desired = 1;
    } else if (t < get(reg::kModeSwitchTemp2)) {
        desired = 2;
    } else if (t < get(reg::kModeSwitchTemp3)) {
        desired = 3;
    }
    if (mode_ == 0) {
        mode_ = desired;
    }
    if (desired == mode_) {
        pending_for_ = 0.0;
        return;
    }
    // The mode changes only once the outdoor temperature has stayed across the line for
    // the switch delay, so noise around a threshold does not make the plant hunt.
    pending_mode_ = desired;
    pending_for_ += dt;
    if (pending_for_ >= get(reg::kModeSwitchDelay)) {
        mode_ = pending_mode_;
        pending_for_ = 0.0;
    }
}

bool PlantModel::drive_auto_wants(int d) const {
    if (mode_ == 0) {
        return false;
    }
    const DriveState& self = drives_[static_cast<std::size_t>(d)];
    switch (d) {
        case kTower1:
        case kTower2:
        case kTower3:
        case kTower4: {
            if (mode_ == 4) {
                return true;
            }
            const double threshold = kTowerStages[d] - (self.running ? kStageHysteresis : 0.0);
            return outdoor_temp_ > threshold;
        }
        case kCircPump:
            return true;
        case kSelfCircPump:
            return plate_mode();
        case kMakeupPump:
            return self.latch;
        default:
            return false;
    }
}

double PlantModel::drive_target(int d) const {
    const auto command = get(reg::kCommand);
    if (d < kTowerCount) {
        const double lo = get(reg::kTowerFreqLow);
        const double hi = std::max(lo, static_cast<double>(get(reg::kTowerFreqHigh)));
        if (!bit_of(command, reg::kBitTowerFreqAuto + d)) {
            return clampd(get(reg::kTowerManualFreq + d), lo, hi);
        }
        if (mode_ == 4) {
            return hi;
        }
        const double error = cooling_water_temp_ - get(reg::kTowerOutletSetpoint);
        return clampd((lo + hi) / 2.0 + get(reg::kTowerFanP) * error / 10.0, lo, hi);
    }
    if (d == kCircPump) {
        const double lo = get(reg::kCircPumpFreqLow);
        const double hi = std::max(lo, static_cast<double>(get(reg::kCircPumpFreqHigh)));
        if (!bit_of(command, reg::kBitCircPumpFreqAuto)) {
            return clampd(get(reg::kCircPumpManualFreq), lo, hi);
        }
        const double load = clampd((return_temp_ - supply_temp_ - 20.0) / 60.0, 0.0, 1.0);
        const double error = supply_temp_ - get(reg::kSupplyTempSetpoint);
        return clampd(lo + (hi - lo) * load + get(reg::kCircPumpP) * error / 20.0, lo, hi);
    }
    if (d == kSelfCircPump) {
        return clampd(get(reg::kSelfCircPumpFreq), 0.0, 500.0);
    }
    const double setpoint = clampd(get(reg::kMakeupPumpFreq), 0.0, 500.0);
    if (!bit_of(command, reg::kBitMakeupFreqAuto)) {
        return setpoint;
    }
    const double deficit = get(reg::kBasinLevelStopPump) - basin_level_;
    return clampd(250.0 + deficit * 2.0, std::min(250.0, setpoint), setpoint);
}

void PlantModel::step_drives(double dt) {
    DriveState& makeup = drives_[kMakeupPump];
    if (basin_level_ < get(reg::kBasinLevelStartPump) &&
        tank_level_ > get(reg::kTankLevelAllowPump)) {
        makeup.latch = true;
    }
    if (basin_level_ > get(reg::kBasinLevelStopPump) ||
        tank_level_ < get(reg::kTankLevelForbidPump)) {
        makeup.latch = false;
    }

    for (int d = 0; d < kDriveCount; ++d) {
        DriveState& s = drives_[static_cast<std::size_t>(d)];
        const BitRef auto_bit = drive_auto_bit(d);
        const BitRef start_bit = drive_start_bit(d);
        const bool wants = bit(auto_bit.reg, auto_bit.bit) ? drive_auto_wants(d)
                                                           : bit(start_bit.reg, start_bit.bit);
        if (s.fault) {
            s.fault_left -= dt;
            if (s.fault_left <= 0.0) {
                s.fault = false;
            }
        } else if (s.running && chance(fault_rate_, dt)) {
            s.fault = true;
            std::uniform_real_distribution<double> span(30.0, 90.0);
            s.fault_left = span(rng_);
        }
        s.running = wants && !s.fault;
        if (!s.running) {
            s.freq = 0.0;
            continue;
        }
        const double target = std::max(kMinRunningFreq, drive_target(d));
        const double stepmax = kFreqRamp * dt;
        s.freq += clampd(target - s.freq, -stepmax, stepmax);
        s.freq = std::max(s.freq, kMinRunningFreq);
    }
}

bool PlantModel::valve_auto_wants(int v) const {
    if (v == 0) {
        return makeup_valve_latch_;
    }
    if (v <= 4) {
        return chiller_mode();
    }
    if (v <= 8) {
        return plate_mode();
    }
    return drives_[static_cast<std::size_t>(v - 9)].running;
}

void PlantModel::step_valves(double dt) {
    if (tank_level_ < get(reg::kMakeupValveOpenLevel)) {
        makeup_valve_latch_ = true;
    }
    if (tank_level_ > get(reg::kMakeupValveCloseLevel)) {
        makeup_valve_latch_ = false;
    }
    const bool reset = bit(reg::kCommand, reg::kBitDrainValveReset);
    for (int k = 0; k < kValveCount; ++k) {
        ValveState& v = valves_[static_cast<std::size_t>(k)];
        if (reset) {
            v.open_fault = v.close_fault = v.stuck = false;
            v.stall = 0.0;
        }
        const BitRef auto_bit = valve_auto_bit(k);
        const BitRef open_bit = valve_open_bit(k);
        const bool open =
            bit(auto_bit.reg, auto_bit.bit) ? valve_auto_wants(k) : bit(open_bit.reg, open_bit.bit);
        if (open != v.command_open) {
            v.command_open = open;
            v.stall = 0.0;
            std::uniform_real_distribution<double> unit(0.0, 1.0);
            // A motorised valve sticks on perhaps one move in a few hundred.
            v.stuck = v.stuck || unit(rng_) < fault_rate_ * 0.01;
        }
        const double target = open ? 1.0 : 0.0;
        if (v.position == target) {
            v.stall = 0.0;
            continue;
        }
        if (!v.stuck) {
            const double stepmax = dt / v.travel;
            v.position =
                clampd(v.position + clampd(target - v.position, -stepmax, stepmax), 0.0, 1.0);
        }
        v.stall += dt;
        if (v.position != target && v.stall > 2.0 * v.travel) {
            (open ? v.open_fault : v.close_fault) = true;
        }
    }
    // The reset is a momentary command: the controller clears it once acted upon.
    set_bit(reg::kCommand, reg::kBitDrainValveReset, false);
}

void PlantModel::step_chiller(double dt) {
    const bool automatic = bit(reg::kChillerStatus, reg::kBitChillerAuto);
    const bool wants =
        automatic ? chiller_mode() : bit(reg::kChillerStatus, reg::kBitChillerManualStart);
    if (chiller_fault_) {
        chiller_fault_left_ -= dt;
        chiller_fault_ = chiller_fault_left_ > 0.0;
    } else if (chiller_running_ && chance(fault_rate_, dt)) {
        chiller_fault_ = true;
        chiller_fault_left_ = 120.0;
    }
    // The chiller is interlocked with chilled-water flow.
    chiller_running_ = wants && !chiller_fault_ && drives_[kCircPump].running;
    const double load = clampd(return_temp_ - supply_temp_, 0.0, 100.0);
    if (chiller_running_) {
        chiller_current_ =
            relax(chiller_current_, clampd(30.0 + load * 0.8, 20.0, 100.0), 30.0, dt);
        discharge_temp_ = relax(discharge_temp_, 550.0 + (cooling_water_temp_ - 300.0), 120.0, dt);
    } else {
        chiller_current_ = 0.0;
        discharge_temp_ = relax(discharge_temp_, tank_temp_, 300.0, dt);
    }
}

void PlantModel::step_water(double dt) {
    double fan_capacity = 0.0;
    double evaporation = 0.0;
    for (int t = 0; t < kTowerCount; ++t) {
        const DriveState& s = drives_[static_cast<std::size_t>(t)];
        fan_capacity += s.freq / 500.0 / kTowerCount;
        evaporation += s.running ? 0.15 + 0.2 * s.freq / 500.0 : 0.0;
    }
    const double wet_bulb = outdoor_temp_ - (1000.0 - humidity_) / 1000.0 * 120.0;
    double heat = 0.0;
    if (chiller_running_) {
        heat += 40.0;
    }
    if (plate_mode()) {
        heat += 15.0;
    }
    double cw_target = outdoor_temp_;
    if (fan_capacity > 0.0) {
        cw_target = wet_bulb + 30.0 + 50.0 * (1.0 - fan_capacity) + heat * (1.0 - fan_capacity / 2);
    }
    cooling_water_temp_ = relax(cooling_water_temp_, cw_target, 120.0, dt) + noise(0.3 * dt);

    const bool flow = drives_[kCircPump].running;
    const double load = clampd(30.0 + (outdoor_temp_ - 200.0) * 0.3, 20.0, 80.0);
    double supply_target = return_temp_;
    if (flow && chiller_running_) {
        supply_target = get(reg::kChillerSetpoint);
    } else if (flow && plate_mode()) {
        supply_target = std::max<double>(get(reg::kSupplyTempSetpoint), cooling_water_temp_ + 20.0);
    } else if (!flow) {
        supply_target = tank_temp_;
    }
    supply_temp_ = relax(supply_temp_, supply_target, flow ? 90.0 : 900.0, dt) + noise(0.3 * dt);
    return_temp_ = relax(return_temp_, supply_temp_ + load, 60.0, dt) + noise(0.3 * dt);

    const double pump = drives_[kMakeupPump].freq / 500.0;
    const double blowdown = blowdown_ ? 0.4 : 0.0;
    basin_level_ = clampd(basin_level_ + (2.0 * pump - evaporation - blowdown) * dt, 0.0, 800.0);
    tank_level_ = clampd(tank_level_ + (1.5 * valves_[0].position - 0.6 * pump) * dt, 0.0, 2000.0);
}

void PlantModel::step_water_treatment(double dt) {
    double evaporation = 0.0;
    for (int t = 0; t < kTowerCount; ++t) {
        evaporation += drives_[static_cast<std::size_t>(t)].freq / 500.0;
    }
    if (conductivity_ > 1800.0) {
        blowdown_ = true;
    }
    if (conductivity_ < 1400.0) {
        blowdown_ = false;
    }
    conductivity_ += (0.6 * evaporation - (blowdown_ ? 4.0 : 0.0)) * dt + noise(0.5 * dt);
    dosing_clock_ = std::fmod(dosing_clock_ + dt, 300.0);
    const bool dosing = dosing_clock_ < 30.0;
    // The tracer is dosed in pulses and washed out with the water the basin loses.
    tracer_ =
        clampd(tracer_ + ((dosing ? 0.3 : 0.0) - (blowdown_ ? 0.002 : 0.0006) * tracer_) * dt +
                   noise(0.05 * dt),
               0.0, 1000.0);
    ph_ = relax(ph_, 810.0, 600.0, dt) + noise(0.3 * dt);
    turbidity_ = clampd(relax(turbidity_, 30.0, 600.0, dt) + noise(0.3 * dt), 0.0, 1000.0);
    corrosion_ = clampd(relax(corrosion_, 40.0, 1800.0, dt) + noise(0.1 * dt), 0.0, 1000.0);
}

void PlantModel::step_meter(double dt) {
    double kw = 4.0;  // controls, lighting, heat tracing
    const double rated[kDriveCount] = {7.5, 7.5, 7.5, 7.5, 30.0, 5.5, 3.0};
    for (int d = 0; d < kDriveCount; ++d) {
        kw += rated[d] * cube(drives_[static_cast<std::size_t>(d)].freq / 500.0);
    }
    kw += 160.0 * chiller_current_ / 100.0;
    power_kw_ = kw;
    energy_kwh_ += kw * dt / 3600.0;
    if (energy_kwh_ >= 65536.0) {
        energy_kwh_ -= 65536.0;
    }
}

// The registers and inputs the controller would show for the state the model holds, in a
// fixed order so that a seed gives the same image.
void PlantModel::render() {
    set(reg::kCurrentMode, mode_);
    render_drives();
    render_temperatures();
    render_pressures_and_levels();
    render_chiller();
    render_water_treatment();
    render_meter();
    render_valves();
    evaluate_alarms(hr_);
}

void PlantModel::render_drives() {
    for (int d = 0; d < kDriveCount; ++d) {
        const DriveState& s = drives_[static_cast<std::size_t>(d)];
        set(reg::kFreqFeedback + d, s.running ? std::max(1.0, s.freq + noise(1.0)) : 0.0);
        set_input(input::drive(d, input::kRemote), true);
        set_input(input::drive(d, input::kOnDrive), s.running);
        set_input(input::drive(d, input::kOnLine), false);
        set_input(input::drive(d, input::kRunning), s.running);
        set_input(input::drive(d, input::kDriveFault), s.fault);
        set_input(input::drive(d, input::kLineFault), false);
        set_input(input::drive(d, input::kSpare), false);
    }
}

void PlantModel::render_temperatures() {
    const double supply = supply_temp_;
    const double ret = return_temp_;
    const double cw = cooling_water_temp_;
    const bool chiller = chiller_running_;
    const bool plate = plate_mode() && drives_[kCircPump].running;
    // In the mixed mode the plate exchanger takes the first part of the load and the
    // chiller the rest.
    double plate_out = ret;
    if (plate) {
        plate_out = chiller ? (ret + supply) / 2.0 : supply;
    }
    const double chiller_in = plate ? plate_out : ret;
    const double chiller_out = chiller ? supply : chiller_in;
    set(reg::kChilledSupplyTemp, supply);
    set(reg::kChilledReturnTemp, ret);
    set(reg::kChillerEvapInTemp, chiller_in + noise(0.5));
    set(reg::kChillerEvapOutTemp, chiller_out + noise(0.5));
    set(reg::kChillerCondInTemp, cw);
    set(reg::kChillerCondOutTemp, chiller_condenser_out() + noise(0.5));
    set(reg::kPlateEvapInTemp, ret + noise(0.5));
    set(reg::kPlateEvapOutTemp, plate_out + noise(0.5));
    set(reg::kPlateCondInTemp, cw + noise(0.5));
    set(reg::kPlateCondOutTemp, (plate ? cw + (ret - plate_out) : cw) + noise(0.5));
    set(reg::kTankTemp, tank_temp_);
    set(reg::kOutdoorTemp, outdoor_temp_);
    set(reg::kOutdoorHumidity, humidity_);
}

// The chiller's condenser water leaves warmer by its load; without the chiller it passes.
double PlantModel::chiller_condenser_out() const {
    const double cw = cooling_water_temp_;
    return chiller_running_ ? cw + 45.0 * chiller_current_ / 100.0 : cw;
}

void PlantModel::render_pressures_and_levels() {
    const double f = drives_[kCircPump].freq / 500.0;
    const double p = f * f;
    double chiller_valves = 0.0;
    double plate_valves = 0.0;
    for (int k = 1; k <= 4; ++k) {
        chiller_valves += valves_[static_cast<std::size_t>(k)].position / 4.0;
        plate_valves += valves_[static_cast<std::size_t>(k) + 4].position / 4.0;
    }
    const double tower_flow = drives_[kTower1].running || drives_[kTower2].running ? 1.0 : 0.0;
    set(reg::kSupplyPressure, 150.0 + 250.0 * p + noise(1.5));
    set(reg::kReturnPressure, 130.0 + 70.0 * p + noise(1.5));
    const double ce = 140.0 + 200.0 * p * chiller_valves;
    const double pe = 140.0 + 200.0 * p * plate_valves;
    const double cc = 120.0 + 140.0 * tower_flow * chiller_valves;
    const double pc = 120.0 + 140.0 * tower_flow * plate_valves;
    set(reg::kChillerEvapInPressure + 0, ce + noise(1.0));
    set(reg::kChillerEvapInPressure + 1, ce - 45.0 * p * chiller_valves + noise(1.0));
    set(reg::kChillerEvapInPressure + 2, cc + noise(1.0));
    set(reg::kChillerEvapInPressure + 3, cc - 40.0 * tower_flow * chiller_valves + noise(1.0));
    set(reg::kChillerEvapInPressure + 4, pe + noise(1.0));
    set(reg::kChillerEvapInPressure + 5, pe - 35.0 * p * plate_valves + noise(1.0));
    set(reg::kChillerEvapInPressure + 6, pc + noise(1.0));
    set(reg::kChillerEvapInPressure + 7, pc - 30.0 * tower_flow * plate_valves + noise(1.0));
    set(reg::kTankLevel, tank_level_);
    set(reg::kBasinLevel, basin_level_);
}

void PlantModel::render_chiller() {
    const double supply = supply_temp_;
    const double cw = cooling_water_temp_;
    const bool chiller = chiller_running_;
    const bool plate = plate_mode() && drives_[kCircPump].running;
    const double ret = return_temp_;
    double chiller_in = ret;
    if (plate) {
        chiller_in = chiller ? (ret + supply) / 2.0 : supply;
    }
    set(reg::kChillerCondReturnTemp, cw);
    set(reg::kChillerChilledReturnTemp, ret);
    set(reg::kChillerDischargeTemp, discharge_temp_);
    set(reg::kChillerEvapPressure, chiller ? 280.0 + (supply - 50.0) * 1.2 + noise(2.0) : 480.0);
    const double cond_pressure = chiller ? 850.0 + (cw - 300.0) * 2.5 + noise(3.0) : 480.0;
    set(reg::kChillerCondPressure, cond_pressure);
    set(reg::kChillerOilPressure, chiller ? cond_pressure + 250.0 + noise(3.0) : 480.0);
    set(reg::kChillerCurrent, chiller_current_);
    set(reg::kChillerCondOutTemp2, chiller_condenser_out());
    set(reg::kChillerChilledOutTemp, chiller ? supply : chiller_in);
    set_bit(reg::kChillerStatus, reg::kBitChillerRemote, true);
    set_bit(reg::kChillerStatus, reg::kBitChillerRunning, chiller);
    set_bit(reg::kChillerStatus, reg::kBitChillerFault, chiller_fault_);
}

void PlantModel::render_water_treatment() {
    set(reg::kSideStreamAuto, 1);
    set(reg::kSideStreamBlowdownRunning, blowdown_ ? 1 : 0);
    set(reg::kSideStreamBlowdownFault, 0);
    set(reg::kSideStreamBlowdownValve, blowdown_ ? 1 : 0);
    set(reg::kDosingAuto, 1);
    set(reg::kDosingPump1, dosing_clock_ < 30.0 ? 1 : 0);
    set(reg::kDosingPump2, 0);
    set(reg::kDosingBlowdownValve, blowdown_ ? 1 : 0);
    set(reg::kDosingLowLevel1, 0);
    set(reg::kDosingLowLevel2, 0);
    set(reg::kConductivity, conductivity_);
    set(reg::kPh, ph_);
    set(reg::kTurbidity, turbidity_);
    set(reg::kCorrosion, corrosion_);
    set(reg::kTracer, tracer_);
}

void PlantModel::render_meter() {
    double phase_volts[3];
    for (int ph = 0; ph < 3; ++ph) {
        phase_volts[ph] = 2300.0 + noise(8.0);
        set(reg::kPhaseVoltage + ph, phase_volts[ph]);
        const double share = power_kw_ / 3.0 * (1.0 + noise(0.01));
        set(reg::kPhasePower + ph, share * 10.0);
        // 0.1 A from kW over 0.1 V at a power factor of 0.9.
        set(reg::kPhaseCurrent + ph, share * 1000.0 * 100.0 / (phase_volts[ph] * 0.9));
    }
    for (int l = 0; l < 3; ++l) {
        set(reg::kLineVoltage + l, (phase_volts[l] + phase_volts[(l + 1) % 3]) / 2.0 * 1.7320508);
    }
    set(reg::kTotalPower, power_kw_ * 10.0);
    set(reg::kTotalEnergy, std::floor(energy_kwh_));
}

void PlantModel::render_valves() {
    for (int k = 0; k < kValveCount; ++k) {
        const ValveState& v = valves_[static_cast<std::size_t>(k)];
        set_input(input::valve_open(k), v.position >= 1.0);
        set_input(input::valve_closed(k), v.position <= 0.0);
        const BitRef of = valve_open_fault_bit(k);
        const BitRef cf = valve_close_fault_bit(k);
        set_bit(of.reg, of.bit, v.open_fault);
        set_bit(cf.reg, cf.bit, v.close_fault);
    }
}

void PlantModel::set(int r, double value) {
    const double v = clampd(std::round(value), 0.0, 65535.0);
    hr_[static_cast<std::size_t>(r)] = static_cast<std::uint16_t>(v);
}

void PlantModel::set_bit(int r, int b, bool on) {
    auto& word = hr_[static_cast<std::size_t>(r)];
    word = with_bit(word, b, on);
}

double PlantModel::noise(double amplitude) {
    if (amplitude <= 0.0) {
        return 0.0;
    }
    std::normal_distribution<double> n(0.0, amplitude);
    return n(rng_);
}

bool PlantModel::chance(double per_hour, double dt) {
    if (per_hour <= 0.0) {
        return false;
    }
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    return unit(rng_) < per_hour * dt / 3600.0;
}

double PlantModel::relax(double value, double target, double time_constant, double dt) const {
    return value + (target - value) * std::min(1.0, dt / time_constant);
}

}  // namespace plantsim
