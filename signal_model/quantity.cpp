#include "quantity.h"

namespace kv830model {

namespace {

// A quantity without unit says why; one with units lists no "" among them.
constexpr bool quantities_are_sound() {
    for (std::size_t i = 0; i < kQuantityCount; ++i) {
        const QuantityInfo& q = kQuantities[i];
        if (static_cast<std::size_t>(q.quantity) != i || q.units_of_measurement[0] == nullptr) {
            return false;
        }
        const bool unitless = q.units_of_measurement[0][0] == '\0';
        if (unitless != (q.no_unit_of_measurement_reason != nullptr) ||
            (unitless && q.units_of_measurement[1] != nullptr)) {
            return false;
        }
    }
    return true;
}
static_assert(quantities_are_sound(), "kQuantities breaks its rules");

}  // namespace

bool parse_quantity(std::string_view name, Quantity& out) {
    for (const QuantityInfo& q : kQuantities) {
        if (name == q.name) {
            out = q.quantity;
            return true;
        }
    }
    return false;
}

std::vector<std::string> quantity_names() {
    std::vector<std::string> names;
    for (const QuantityInfo& q : kQuantities) {
        names.emplace_back(q.name);
    }
    return names;
}

std::string units_of_measurement_text(Quantity q) {
    std::vector<std::string> known;
    for (const char* u : quantity_info(q).units_of_measurement) {
        if (u != nullptr) {
            known.emplace_back(*u == '\0' ? "none" : u);
        }
    }
    std::string text;
    for (std::size_t i = 0; i < known.size(); ++i) {
        if (i > 0) {
            text += i + 1 == known.size() ? " or " : ", ";
        }
        text += known[i];
    }
    return text;
}

}  // namespace kv830model
