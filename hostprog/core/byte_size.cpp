#include "byte_size.h"

#include <cstdio>
#include <limits>

#include "option_table.h"

namespace kv830host {

namespace {

struct SizeUnit {
    const char* suffix;
    std::size_t bytes;
};

constexpr SizeUnit kSizeUnits[] = {
    {"GiB", std::size_t{1} << 30},
    {"MiB", std::size_t{1} << 20},
    {"KiB", std::size_t{1} << 10},
    {"B",   1                   },
};

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool looks_like_byte_size(const std::string& text) {
    return !text.empty() && (text.back() == 'B' || text.back() == 'b');
}

bool parse_byte_size(const std::string& text, std::size_t& bytes, std::string& error) {
    const std::string bad = "'" + text + "' is not a size such as 512KiB, 16MiB or 1GiB";
    for (const SizeUnit& unit : kSizeUnits) {
        if (!ends_with(text, unit.suffix)) {
            continue;
        }
        const std::string number = text.substr(0, text.size() - std::string(unit.suffix).size());
        long long n = 0;
        const auto most =
            static_cast<long long>(std::numeric_limits<std::size_t>::max() / unit.bytes / 2);
        if (number.empty() || number[0] == '+' || number[0] == '-' ||
            !kv830cli::parse_decimal(number, 1, most, n)) {
            error = bad;
            return false;
        }
        bytes = static_cast<std::size_t>(n) * unit.bytes;
        return true;
    }
    error = bad;
    return false;
}

std::string format_byte_size(double bytes) {
    const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < sizeof units / sizeof units[0]) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0 || bytes >= 100.0) {
        std::snprintf(text, sizeof text, "%.0f %s", bytes, units[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.3g %s", bytes, units[unit]);
    }
    return text;
}

}  // namespace kv830host
