// The named signals of the plant controller's snapshot document.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kv830_protocol.h"

namespace kv830 {

enum class SignalKind : std::uint8_t {
    Bit,    // bit `bit` of holding register `source`: JSON int 0 or 1
    Value,  // holding register `source`, unsigned: JSON real
    Enum,   // holding register `source`: text0 for 0, text1 for 1, "无效值" otherwise
    Input,  // discrete input `source`, the byte whole: JSON real
};

// The part of the plant a signal belongs to, in the order a page or a listing shows
// them. Each signal belongs to exactly one.
enum class Unit : std::uint8_t {
    System,         // start, modes, mode switching
    Environment,    // outdoor temperature and humidity
    CoolingTowers,  // what the four towers share: fan loop, limits, basin
    CoolingTower1,
    CoolingTower2,
    CoolingTower3,
    CoolingTower4,
    ChilledWater,  // supply and return headers
    CirculatingPump,
    SelfCirculatingPump,
    MakeUpPump,    // with the make-up tank and valve
    ScrewChiller,  // with the chiller unit's water side
    PlateExchanger,
    DosingAndBypass,  // side-stream water and the dosing unit
    Valves,           // DV1 to DV13
    PowerMeter,
};
constexpr std::size_t kUnitCount = static_cast<std::size_t>(Unit::PowerMeter) + 1;

// English heading of a unit, for pages and listings.
const char* unit_heading(Unit unit);

struct SignalRow {
    const char* key;  // the controller's signal name, UTF-8
    SignalKind kind;
    std::uint16_t source;  // holding register or discrete input
    std::uint8_t bit;
    Unit unit;
    bool setting;  // a holding register an operator may write: setpoint, limit, delay, mode
    const char* text0;
    const char* text1;
};

// In order of assignment. Two keys are assigned twice and the later row wins:
// "模式切换延时时间" (registers 6 then 7) and "自循环泵手动启动" (bits 3 then 5 of
// register 139); the controller's documentation names them so and the document has
// always shown the later source.
extern const SignalRow kSignals[];
extern const std::size_t kSignalCount;

constexpr const char* kInvalidText = "无效值";

}  // namespace kv830
