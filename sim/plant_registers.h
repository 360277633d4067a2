// Address map of the simulated plant controller, in the controller's own raw units.
//
// The controller itself scales nothing: the model computes in the register counts of the
// signal model's scalings (signal_model/quantity.h), which the gateway shows by default:
//   temperatures      0.1 °C         (72 = 7.2 °C)
//   humidity          0.1 %RH
//   frequencies       0.1 Hz         (500 = 50.0 Hz)
//   pressures         kPa
//   levels            mm
//   delays            s
//   chiller current   % of rated current
//   conductivity      µS/cm, pH in 0.01, turbidity in 0.1 NTU, corrosion in 0.001 mm/a,
//                     tracer in 0.1 ppm
//   meter             0.1 V, 0.1 A, 0.1 kW, energy in kWh (wraps at 65536)
// Every "manual/auto" bit reads 1 for automatic, 0 for manual; "local/remote" reads 1
// for remote.
#pragma once

#include <cstdint>

#include "quantity.h"

namespace plantsim {

// The model's arithmetic below and in plant_model.cpp is written in these counts: a
// scaling changed in the shared table needs the model changed with it.
namespace scaled = kv830model;
static_assert(scaled::kCelsius.scale == 0.1 && scaled::kHumidity.scale == 0.1 &&
                  scaled::kHertz.scale == 0.1 && scaled::kKilopascals.scale == 1.0 &&
                  scaled::kMillimetres.scale == 1.0 && scaled::kSeconds.scale == 1.0 &&
                  scaled::kPercent.scale == 1.0,
              "the plant model computes in 0.1 °C, 0.1 %RH, 0.1 Hz, kPa, mm, s and %");
static_assert(scaled::kMicrosiemens.scale == 1.0 && scaled::kPh.scale == 0.01 &&
                  scaled::kNtu.scale == 0.1 && scaled::kCorrosion.scale == 0.001 &&
                  scaled::kPpm.scale == 0.1,
              "the plant model's water treatment computes in µS/cm, 0.01 pH, 0.1 NTU, "
              "0.001 mm/a and 0.1 ppm");
static_assert(scaled::kVolts.scale == 0.1 && scaled::kAmperes.scale == 0.1 &&
                  scaled::kKilowatts.scale == 0.1 && scaled::kKilowattHours.scale == 1.0,
              "the plant model's meter computes in 0.1 V, 0.1 A, 0.1 kW and kWh");

constexpr int kHoldingCount = 286;  // holding registers 0..285
constexpr int kInputCount = 81;     // discrete inputs 0..80

// Status registers list their signals from bit 8 up to bit 15 and then from bit 0 up;
// `position` is the place of a signal in such a list.
constexpr int listed_bit(int position) {
    return position < 8 ? position + 8 : position - 8;
}

constexpr bool bit_of(std::uint16_t value, int bit) {
    // Unsigned throughout: with the shift sanitizer the promoted int is reported as a
    // sign conversion.
    return ((static_cast<unsigned>(value) >> bit) & 1U) != 0;
}
constexpr std::uint16_t with_bit(std::uint16_t value, int bit, bool on) {
    return on ? static_cast<std::uint16_t>(value | (1U << bit))
              : static_cast<std::uint16_t>(value & ~(1U << bit));
}

namespace reg {
// Register 0: command and mode bits.
constexpr int kCommand = 0;
constexpr int kBitSystemStart = 8;
constexpr int kBitModeAuto = 9;
constexpr int kBitCircPumpFreqAuto = 11;
constexpr int kBitTowerFreqAuto = 12;  // + tower index 0..3
constexpr int kBitMakeupFreqAuto = 0;
constexpr int kBitDrainValveReset = 1;

constexpr int kManualMode = 1;
constexpr int kCurrentMode = 2;
constexpr int kModeSwitchTemp1 = 3;  // below: free cooling
constexpr int kModeSwitchTemp2 = 4;  // below: mixed, above: chiller
constexpr int kModeSwitchTemp3 = 5;  // above: chiller at peak load
constexpr int kModeSwitchDelay1 = 6;
constexpr int kModeSwitchDelay = 7;
constexpr int kCircPumpManualFreq = 8;

constexpr int kSupplyTempSetpoint = 19;
constexpr int kCircPumpP = 20;
constexpr int kTowerManualFreq = 23;  // + tower index
constexpr int kTowerOutletSetpoint = 27;
constexpr int kTowerFanP = 28;
constexpr int kTankLevelAllowPump = 31;
constexpr int kTankLevelForbidPump = 32;
constexpr int kBasinLevelStartPump = 33;
constexpr int kBasinLevelStopPump = 34;
constexpr int kMakeupPumpFreq = 35;

constexpr int kSelfCircPumpFreq = 61;
constexpr int kCircPumpFreqLow = 62;
constexpr int kCircPumpFreqHigh = 63;
constexpr int kTowerFreqLow = 64;
constexpr int kTowerFreqHigh = 65;
constexpr int kStartJudgeDelay = 66;

constexpr int kFreqFeedback = 75;  // + drive index 0..6
constexpr int kChilledSupplyTemp = 82;
constexpr int kChilledReturnTemp = 83;
constexpr int kChillerEvapInTemp = 84;
constexpr int kChillerEvapOutTemp = 85;
constexpr int kChillerCondInTemp = 86;
constexpr int kChillerCondOutTemp = 87;
constexpr int kPlateEvapInTemp = 88;
constexpr int kPlateEvapOutTemp = 89;
constexpr int kPlateCondInTemp = 90;
constexpr int kPlateCondOutTemp = 91;
constexpr int kTankTemp = 92;
constexpr int kOutdoorTemp = 93;
constexpr int kOutdoorHumidity = 94;
constexpr int kSupplyPressure = 95;
constexpr int kReturnPressure = 96;
constexpr int kChillerEvapInPressure = 97;  // 97..104: chiller then plate, evap/cond, in/out
constexpr int kTankLevel = 105;
constexpr int kBasinLevel = 106;

constexpr int kManualBitsFirst = 139;  // 139..141: manual/auto and manual start/open bits

constexpr int kMakeupValveOpenLevel = 142;
constexpr int kMakeupValveCloseLevel = 143;
constexpr int kChillerSetpoint = 144;
constexpr int kChillerCondReturnTemp = 145;
constexpr int kChillerChilledReturnTemp = 146;
constexpr int kChillerDischargeTemp = 147;
constexpr int kChillerEvapPressure = 148;
constexpr int kChillerCondPressure = 149;
constexpr int kChillerOilPressure = 150;
constexpr int kChillerCurrent = 151;
constexpr int kChillerCondOutTemp2 = 152;
constexpr int kChillerChilledOutTemp = 153;

constexpr int kSideStreamAuto = 166;
constexpr int kSideStreamBlowdownRunning = 167;
constexpr int kSideStreamBlowdownFault = 168;
constexpr int kSideStreamBlowdownValve = 169;
constexpr int kDosingAuto = 170;
constexpr int kDosingPump1 = 171;
constexpr int kDosingPump2 = 172;
constexpr int kDosingBlowdownValve = 173;
constexpr int kDosingLowLevel1 = 174;
constexpr int kDosingLowLevel2 = 175;
constexpr int kConductivity = 176;
constexpr int kPh = 177;
constexpr int kTurbidity = 178;
constexpr int kCorrosion = 179;
constexpr int kTracer = 180;
constexpr int kPhaseVoltage = 181;  // + phase 0..2
constexpr int kLineVoltage = 184;   // AB, BC, AC
constexpr int kPhaseCurrent = 187;  // + phase
constexpr int kPhasePower = 190;    // + phase
constexpr int kTotalPower = 193;
constexpr int kTotalEnergy = 194;

constexpr int kChillerStatus = 214;
constexpr int kBitChillerRemote = 8;
constexpr int kBitChillerRunning = 9;
constexpr int kBitChillerFault = 10;
constexpr int kBitChillerAuto = 11;
constexpr int kBitChillerManualStart = 12;

constexpr int kFaultBitsFirst = 243;  // 243..245: valve faults, then limit alarms
constexpr int kLimitFirst = 246;      // 246..265: low/high limit pairs
}  // namespace reg

// Drives with seven discrete inputs each, in input order.
enum Drive : int {
    kTower1 = 0,
    kTower2,
    kTower3,
    kTower4,
    kCircPump,
    kSelfCircPump,
    kMakeupPump,
    kDriveCount
};
constexpr int kTowerCount = 4;
constexpr int kValveCount = 13;  // DV1..DV13

namespace input {
constexpr int kPerDrive = 7;
constexpr int kRemote = 0;
constexpr int kOnDrive = 1;  // running from its frequency converter
constexpr int kOnLine = 2;   // running straight from the mains
constexpr int kRunning = 3;
constexpr int kDriveFault = 4;
constexpr int kLineFault = 5;
constexpr int kSpare = 6;
constexpr int drive(int d, int which) {
    return d * kPerDrive + which;
}
constexpr int kValveFirst = 49;
constexpr int valve_open(int v) {
    return kValveFirst + 2 * v;
}
constexpr int valve_closed(int v) {
    return kValveFirst + 2 * v + 1;
}
}  // namespace input

// Registers 139..141 list a manual/auto bit and a manual start (or open) bit for each
// drive, then for each valve; the self-circulating pump's manual/auto bit is bit 2 and
// the make-up pump's manual start is bit 5 of register 139.
struct BitRef {
    int reg;
    int bit;
};
constexpr BitRef manual_item_bit(int item, bool start_bit) {
    const int position = 2 * item + (start_bit ? 1 : 0);
    return {reg::kManualBitsFirst + position / 16, listed_bit(position % 16)};
}
constexpr BitRef drive_auto_bit(int d) {
    return manual_item_bit(d, false);
}
constexpr BitRef drive_start_bit(int d) {
    return manual_item_bit(d, true);
}
constexpr BitRef valve_auto_bit(int v) {
    return manual_item_bit(kDriveCount + v, false);
}
constexpr BitRef valve_open_bit(int v) {
    return manual_item_bit(kDriveCount + v, true);
}

// Registers 243..245 list an open fault and a close fault per valve, then a low and a
// high limit alarm per supervised value.
constexpr BitRef status_list_bit(int position) {
    return {reg::kFaultBitsFirst + position / 16, listed_bit(position % 16)};
}
constexpr BitRef valve_open_fault_bit(int v) {
    return status_list_bit(2 * v);
}
constexpr BitRef valve_close_fault_bit(int v) {
    return status_list_bit(2 * v + 1);
}

struct AlarmPair {
    int value_reg;  // the supervised value
    int low_reg;    // its low limit; the high limit follows
};
constexpr int kAlarmPairCount = 10;
constexpr AlarmPair kAlarmPairs[kAlarmPairCount] = {
    {reg::kChillerCondInTemp, 246},
    {reg::kBasinLevel,        248},
    {reg::kOutdoorHumidity,   250},
    {reg::kOutdoorTemp,       252},
    {reg::kReturnPressure,    254},
    {reg::kSupplyPressure,    256},
    {reg::kPlateCondInTemp,   258},
    {reg::kChilledReturnTemp, 260},
    {reg::kChilledSupplyTemp, 262},
    {reg::kTankLevel,         264},
};
constexpr BitRef alarm_low_bit(int pair) {
    return status_list_bit(2 * kValveCount + 2 * pair);
}
constexpr BitRef alarm_high_bit(int pair) {
    return status_list_bit(2 * kValveCount + 2 * pair + 1);
}

static_assert(drive_start_bit(kMakeupPump).reg == 139 && drive_start_bit(kMakeupPump).bit == 5);
static_assert(valve_open_bit(0).reg == 139 && valve_open_bit(0).bit == 7, "DV1 manual open");
static_assert(valve_auto_bit(12).reg == 141 && valve_auto_bit(12).bit == 14, "DV13 manual/auto");
static_assert(valve_close_fault_bit(12).reg == 244 && valve_close_fault_bit(12).bit == 1);
static_assert(alarm_low_bit(0).reg == 244 && alarm_low_bit(0).bit == 2, "first limit alarm");
static_assert(alarm_low_bit(3).reg == 245 && alarm_low_bit(3).bit == 8, "outdoor low alarm");
static_assert(alarm_high_bit(9).reg == 245 && alarm_high_bit(9).bit == 5, "tank high alarm");

}  // namespace plantsim
