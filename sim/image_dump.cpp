#include "image_dump.h"

namespace plantsim {

std::string image_json(const PlantModel::Holding& holding, const PlantModel::Inputs& inputs) {
    std::string out = "{\"holding\":[";
    for (std::size_t i = 0; i < holding.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        out += std::to_string(holding[i]);
    }
    out += "],\"inputs\":[";
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        out += std::to_string(inputs[i]);
    }
    out += "]}\n";
    return out;
}

}  // namespace plantsim
