// Values set from outside the line while the simulator runs (--apply FILE, read on
// SIGUSR2): a test raises a fault bit or a discrete input while a client holds the one
// connection. One change a line, "holding REGISTER VALUE" or "input INPUT 0|1"; a holding
// register is written as a write from the line would be.
#pragma once

#include <string>

#include "plant_model.h"

namespace plantsim {

// Applies every line of `text`, or none: false with `error` naming the first bad line.
bool apply_image_text(const std::string& text, PlantModel& model, std::string& error);

}  // namespace plantsim
