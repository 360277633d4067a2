// The register image as a JSON file, for tests that compare what a host read.
#pragma once

#include <string>

#include "plant_model.h"

namespace plantsim {

// {"holding":[286 integers],"inputs":[81 integers]} and a newline.
std::string image_json(const PlantModel::Holding& holding, const PlantModel::Inputs& inputs);

// Writes `text` to path + ".tmp" and renames it over `path`, so a reader sees either the
// old file or the whole new one. Returns false (errno set) when that fails.
bool write_file_atomically(const std::string& path, const std::string& text);

}  // namespace plantsim
