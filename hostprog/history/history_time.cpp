#include "history_time.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace kv830host {

namespace {

constexpr std::int64_t kSecondMs = 1000;
constexpr std::int64_t kMaxDurationMs = 100LL * 366 * 24 * 3600 * kSecondMs;

struct Unit {
    char suffix;
    std::int64_t ms;
};
constexpr Unit kUnits[] = {
    {'s', kSecondMs        },
    {'m', 60 * kSecondMs   },
    {'h', 3600 * kSecondMs },
    {'d', 86400 * kSecondMs},
};

// Days since 1970-01-01 of a civil date (proleptic Gregorian), without the C library's
// time zone.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// Reads exactly `n` digits.
bool digits(const char*& p, int n, int& value) {
    value = 0;
    for (int i = 0; i < n; ++i) {
        if (std::isdigit(static_cast<unsigned char>(*p)) == 0) {
            return false;
        }
        value = value * 10 + (*p++ - '0');
    }
    return true;
}

int days_in_month(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

struct Civil {
    int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0, milli = 0;
    bool has_offset = false;
    int offset_minutes = 0;
};

// The ISO 8601 forms parse_time_argument takes; false on anything else.
bool parse_iso(const char* p, Civil& c) {
    if (!digits(p, 4, c.year) || *p++ != '-' || !digits(p, 2, c.month) || *p++ != '-' ||
        !digits(p, 2, c.day)) {
        return false;
    }
    if (*p == 'T' || *p == ' ') {
        ++p;
        if (!digits(p, 2, c.hour) || *p++ != ':' || !digits(p, 2, c.minute)) {
            return false;
        }
        if (*p == ':') {
            ++p;
            if (!digits(p, 2, c.second)) {
                return false;
            }
            if (*p == '.' || *p == ',') {
                ++p;
                int scale = 100;
                if (std::isdigit(static_cast<unsigned char>(*p)) == 0) {
                    return false;
                }
                while (std::isdigit(static_cast<unsigned char>(*p)) != 0) {
                    c.milli += (*p++ - '0') * scale;
                    scale /= 10;
                }
            }
        }
    }
    if (*p == 'Z') {
        ++p;
        c.has_offset = true;
    } else if (*p == '+' || *p == '-') {
        const int sign = *p++ == '-' ? -1 : 1;
        int hours = 0;
        int minutes = 0;
        if (!digits(p, 2, hours)) {
            return false;
        }
        if (*p == ':') {
            ++p;
        }
        if (!digits(p, 2, minutes) || hours > 23 || minutes > 59) {
            return false;
        }
        c.has_offset = true;
        c.offset_minutes = sign * (hours * 60 + minutes);
    }
    return *p == '\0' && c.month >= 1 && c.month <= 12 && c.day >= 1 &&
           c.day <= days_in_month(c.year, c.month) && c.hour <= 23 && c.minute <= 59 &&
           c.second <= 60;
}

std::int64_t utc_ms_of(const Civil& c) {
    const std::int64_t days =
        days_from_civil(c.year, static_cast<unsigned>(c.month), static_cast<unsigned>(c.day));
    return ((days * 24 + c.hour) * 60 + c.minute) * 60 * kSecondMs + c.second * kSecondMs + c.milli;
}

}  // namespace

bool parse_duration(const std::string& text, std::int64_t& ms, std::string& error) {
    std::size_t i = 0;
    std::int64_t value = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0) {
        value = value * 10 + (text[i] - '0');
        ++i;
        if (value > kMaxDurationMs) {
            break;
        }
    }
    std::int64_t unit = kSecondMs;
    bool unit_ok = i == text.size();
    if (i + 1 == text.size()) {
        for (const Unit& u : kUnits) {
            if (text[i] == u.suffix) {
                unit = u.ms;
                unit_ok = true;
            }
        }
    }
    if (i == 0 || !unit_ok) {
        error = "'" + text + "' is not a duration (expected a whole number with s, m, h or d)";
        return false;
    }
    if (value == 0 || value > kMaxDurationMs / unit) {
        error = "'" + text + "' is out of range (more than 0, at most a century)";
        return false;
    }
    ms = value * unit;
    return true;
}

std::string format_stored_time(std::int64_t unix_ms) {
    const std::int64_t days = floor_div(unix_ms, 86400 * kSecondMs);
    std::int64_t rest = unix_ms - days * 86400 * kSecondMs;
    // Civil date from days since 1970 (the inverse of days_from_civil).
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
    const auto hour = static_cast<int>(rest / (3600 * kSecondMs));
    rest %= 3600 * kSecondMs;
    const auto minute = static_cast<int>(rest / (60 * kSecondMs));
    rest %= 60 * kSecondMs;
    char text[96];
    (void)std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ",
                        static_cast<long long>(y), m, d, hour, minute,
                        static_cast<int>(rest / kSecondMs), static_cast<int>(rest % kSecondMs));
    return text;
}

bool parse_stored_time(const char* text, std::int64_t& unix_ms) {
    Civil c;
    if (text == nullptr || !parse_iso(text, c) || !c.has_offset) {
        return false;
    }
    unix_ms = utc_ms_of(c) - static_cast<std::int64_t>(c.offset_minutes) * 60 * kSecondMs;
    return true;
}

std::string format_local_time(std::int64_t unix_ms) {
    const std::int64_t seconds = floor_div(unix_ms, kSecondMs);
    const auto milli = static_cast<int>(unix_ms - seconds * kSecondMs);
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    const long offset = tm.tm_gmtoff / 60;
    const long abs_offset = offset < 0 ? -offset : offset;
    char text[96];
    (void)std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                        tm.tm_sec, milli, offset < 0 ? '-' : '+', abs_offset / 60, abs_offset % 60);
    return text;
}

bool parse_time_argument(const std::string& text, std::int64_t now_ms, std::int64_t& unix_ms,
                         std::string& error) {
    const std::string expected =
        " (expected ISO 8601 such as 2026-12-08T08:30:00+01:00, now, -1h or @SECONDS)";
    if (text == "now") {
        unix_ms = now_ms;
        return true;
    }
    if (!text.empty() && text[0] == '-') {
        std::int64_t ago = 0;
        std::string why;
        if (!parse_duration(text.substr(1), ago, why)) {
            error = "'" + text + "' is not a time" + expected;
            return false;
        }
        unix_ms = now_ms - ago;
        return true;
    }
    if (!text.empty() && text[0] == '@') {
        std::int64_t seconds = 0;
        std::size_t i = 1;
        for (; i < text.size() && i < 13 && std::isdigit(static_cast<unsigned char>(text[i])) != 0;
             ++i) {
            seconds = seconds * 10 + (text[i] - '0');
        }
        if (i == 1 || i != text.size()) {
            error = "'" + text + "' is not a time" + expected;
            return false;
        }
        unix_ms = seconds * kSecondMs;
        return true;
    }
    Civil c;
    if (!parse_iso(text.c_str(), c)) {
        error = "'" + text + "' is not a time" + expected;
        return false;
    }
    if (c.has_offset) {
        unix_ms = utc_ms_of(c) - static_cast<std::int64_t>(c.offset_minutes) * 60 * kSecondMs;
        return true;
    }
    std::tm tm{};
    tm.tm_year = c.year - 1900;
    tm.tm_mon = c.month - 1;
    tm.tm_mday = c.day;
    tm.tm_hour = c.hour;
    tm.tm_min = c.minute;
    tm.tm_sec = c.second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) {
        error = "'" + text + "' is not a local time" + expected;
        return false;
    }
    unix_ms = static_cast<std::int64_t>(t) * kSecondMs + c.milli;
    return true;
}

std::int64_t wall_clock_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace kv830host
