// The snapshot's members as the plant simulator's model places them: each key with the
// register and bit, or the discrete input, that the plant model gives that signal. It is
// written from the controller's signal names and the simulator's named address map
// (sim/plant_registers.h), never from the device's own signal table, so the two can be
// held against each other.
#pragma once

#include <string>
#include <vector>

namespace kv830test {

enum class PlantKind { Bit, Value, Enum, Input };

struct PlantSignal {
    std::string key;
    PlantKind kind;
    int source;                   // holding register, or discrete input for Input
    int bit;                      // Bit only
    const char* text0 = nullptr;  // Enum only: the text for 0 and for 1
    const char* text1 = nullptr;
};

// In the controller's order. A key listed twice is assigned twice and the later entry
// is what a snapshot shows.
const std::vector<PlantSignal>& plant_signal_map();

// The text of an enumerated register that is neither 0 nor 1.
constexpr const char* kPlantInvalidText = "无效值";

}  // namespace kv830test
