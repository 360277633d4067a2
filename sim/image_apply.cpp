#include "image_apply.h"

#include <sstream>
#include <vector>

#include "option_table.h"

namespace plantsim {

namespace {

struct Change {
    bool holding;
    int index;
    std::uint16_t value;
};

}  // namespace

bool apply_image_text(const std::string& text, PlantModel& model, std::string& error) {
    std::vector<Change> changes;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::istringstream words(line);
        std::string kind;
        std::string index;
        std::string value;
        std::string extra;
        if (!(words >> kind)) {
            continue;  // an empty line
        }
        long long i = 0;
        long long v = 0;
        const bool holding = kind == "holding";
        const bool ok =
            (holding || kind == "input") && (words >> index >> value) && !(words >> extra) &&
            kv830cli::parse_decimal(index, 0, holding ? kHoldingCount - 1 : kInputCount - 1, i) &&
            kv830cli::parse_decimal(value, 0, holding ? 0xFFFF : 1, v);
        if (!ok) {
            error = "line " + std::to_string(number) +
                    ": needs \"holding 0..285 0..65535\" or \"input 0..80 0|1\", not \"" + line +
                    "\"";
            return false;
        }
        changes.push_back({holding, static_cast<int>(i), static_cast<std::uint16_t>(v)});
    }
    for (const Change& c : changes) {
        if (c.holding) {
            model.write(c.index, &c.value, 1);
        } else {
            model.force_input(c.index, c.value != 0);
        }
    }
    return true;
}

}  // namespace plantsim
