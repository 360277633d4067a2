#include "quantity.h"

namespace kv830model {

namespace {

// A quantity without unit says why; one with units lists no "" among them.
constexpr bool quantities_are_sound() {
    for (std::size_t i = 0; i < kQuantityCount; ++i) {
        const QuantityInfo& q = kQuantities[i];
        if (static_cast<std::size_t>(q.quantity) != i || q.units[0] == nullptr) {
            return false;
        }
        const bool unitless = q.units[0][0] == '\0';
        if (unitless != (q.no_unit_reason != nullptr) || (unitless && q.units[1] != nullptr)) {
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

std::string units_text(Quantity q) {
    std::vector<std::string> units;
    for (const char* u : quantity_info(q).units) {
        if (u != nullptr) {
            units.emplace_back(*u == '\0' ? "none" : u);
        }
    }
    std::string text;
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (i > 0) {
            text += i + 1 == units.size() ? " or " : ", ";
        }
        text += units[i];
    }
    return text;
}

}  // namespace kv830model
