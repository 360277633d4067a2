// The register image as a JSON file, for tests that compare what a host read.
#pragma once

#include <string>

#include "plant_model.h"

namespace plantsim {

// {"holding":[286 integers],"inputs":[81 integers]} and a newline.
std::string image_json(const PlantModel::Holding& holding, const PlantModel::Inputs& inputs);

}  // namespace plantsim
