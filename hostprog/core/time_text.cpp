#include "time_text.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace kv830host {

namespace {

constexpr std::int64_t kSecondMs = 1000;
constexpr std::int64_t kDayMs = 86400 * kSecondMs;
constexpr std::int64_t kMaxDurationMs = 100LL * 366 * kDayMs;
// Longer text is no time of any form taken.
constexpr std::size_t kMaxTimeText = 64;
// Unix seconds have ten digits until 2286; more than eleven are milliseconds by mistake.
constexpr std::size_t kMaxSecondsDigits = 11;
// Digits of a fraction read; those past the millisecond are dropped.
constexpr std::size_t kMaxFractionDigits = 9;

const char* const kForms =
    " (expected ISO 8601 such as 2026-12-08T08:30:00+01:00, local time without an offset, unix "
    "seconds, now, or -30m, -1h, -7d)";

struct Unit {
    char suffix;
    std::int64_t ms;
};
constexpr Unit kUnits[] = {
    {'s', kSecondMs       },
    {'m', 60 * kSecondMs  },
    {'h', 3600 * kSecondMs},
    {'d', kDayMs          },
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

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

struct Civil {
    std::int64_t year = 0;
    unsigned month = 1, day = 1;
};

Civil civil_from_days(std::int64_t days) {
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Civil c;
    c.day = doy - (153 * mp + 2) / 5 + 1;
    c.month = mp < 10 ? mp + 3 : mp - 9;
    c.year = static_cast<std::int64_t>(yoe) + era * 400 + (c.month <= 2 ? 1 : 0);
    return c;
}

int days_in_month(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads exactly `n` digits.
bool take_digits(const char*& p, int n, int& value) {
    value = 0;
    for (int i = 0; i < n; ++i) {
        if (!is_digit(*p)) {
            return false;
        }
        value = value * 10 + (*p++ - '0');
    }
    return true;
}

// Milliseconds of a fraction's digits (at least one, at most kMaxFractionDigits).
bool take_fraction(const char*& p, int& milli) {
    milli = 0;
    int scale = 100;
    std::size_t n = 0;
    for (; is_digit(*p); ++p, ++n) {
        milli += (*p - '0') * scale;
        scale /= 10;
    }
    return n > 0 && n <= kMaxFractionDigits;
}

struct IsoTime {
    int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0, milli = 0;
    bool has_zone = false;
    int offset_minutes = 0;
};

bool take_zone(const char*& p, IsoTime& t) {
    if (*p == 'Z' || *p == 'z') {
        ++p;
        t.has_zone = true;
        return true;
    }
    if (*p != '+' && *p != '-') {
        return true;
    }
    const int sign = *p++ == '-' ? -1 : 1;
    int hours = 0;
    int minutes = 0;
    if (!take_digits(p, 2, hours)) {
        return false;
    }
    if (*p == ':') {
        ++p;
        if (!take_digits(p, 2, minutes)) {
            return false;
        }
    } else if (is_digit(*p) && !take_digits(p, 2, minutes)) {
        return false;
    }
    t.has_zone = true;
    t.offset_minutes = sign * (hours * 60 + minutes);
    return hours <= 23 && minutes <= 59;
}

// YYYY-MM-DD, then optionally [T ]HH:MM[:SS[.fraction]], then optionally a zone.
bool parse_iso(const char* p, IsoTime& t) {
    if (!take_digits(p, 4, t.year) || *p++ != '-' || !take_digits(p, 2, t.month) || *p++ != '-' ||
        !take_digits(p, 2, t.day)) {
        return false;
    }
    if (*p == 'T' || *p == 't' || *p == ' ') {
        ++p;
        if (!take_digits(p, 2, t.hour) || *p++ != ':' || !take_digits(p, 2, t.minute)) {
            return false;
        }
        if (*p == ':') {
            ++p;
            if (!take_digits(p, 2, t.second)) {
                return false;
            }
            if ((*p == '.' || *p == ',') && !take_fraction(++p, t.milli)) {
                return false;
            }
        }
    }
    if (!take_zone(p, t)) {
        return false;
    }
    return *p == '\0' && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= days_in_month(t.year, t.month) && t.hour <= 23 && t.minute <= 59 &&
           t.second <= 60;
}

bool utc_of_local(const IsoTime& t, std::int64_t& unix_ms) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&tm);
    // -1 is also one second before 1970 in a zone at UTC: told apart by the date it gave.
    if (seconds == static_cast<std::time_t>(-1) && tm.tm_year != 69) {
        return false;
    }
    unix_ms = static_cast<std::int64_t>(seconds) * kSecondMs + t.milli;
    return true;
}

// Unix seconds with an optional fraction.
bool parse_unix_seconds(const char* p, std::int64_t& unix_ms, std::string& why) {
    std::int64_t seconds = 0;
    std::size_t n = 0;
    for (; is_digit(*p); ++p, ++n) {
        if (n == kMaxSecondsDigits) {
            why = " (unix seconds, not milliseconds)";
            return false;
        }
        seconds = seconds * 10 + (*p - '0');
    }
    int milli = 0;
    if (n == 0 || (*p == '.' && !take_fraction(++p, milli)) || *p != '\0') {
        return false;
    }
    unix_ms = seconds * kSecondMs + milli;
    return true;
}

bool all_digits_or_point(const std::string& text) {
    for (const char c : text) {
        if (!is_digit(c) && c != '.') {
            return false;
        }
    }
    return true;
}

std::string format_civil(std::int64_t local_ms, const char* zone) {
    const std::int64_t days = floor_div(local_ms, kDayMs);
    std::int64_t rest = local_ms - days * kDayMs;
    const Civil c = civil_from_days(days);
    const auto hour = static_cast<int>(rest / (3600 * kSecondMs));
    rest %= 3600 * kSecondMs;
    const auto minute = static_cast<int>(rest / (60 * kSecondMs));
    rest %= 60 * kSecondMs;
    char text[96];
    (void)std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02d.%03d%s",
                        static_cast<long long>(c.year), c.month, c.day, hour, minute,
                        static_cast<int>(rest / kSecondMs), static_cast<int>(rest % kSecondMs),
                        zone);
    return text;
}

}  // namespace

std::int64_t wall_clock_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool parse_duration(const std::string& text, std::int64_t& ms, std::string& error) {
    std::size_t i = 0;
    std::int64_t value = 0;
    while (i < text.size() && is_digit(text[i]) && value <= kMaxDurationMs) {
        value = value * 10 + (text[i] - '0');
        ++i;
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

bool parse_time(const std::string& text, std::int64_t now_ms, std::int64_t& unix_ms,
                std::string& error) {
    std::string why;
    bool ok = false;
    if (text.size() > kMaxTimeText) {
        why = " (longer than any time)";
    } else if (text == "now") {
        unix_ms = now_ms;
        ok = true;
    } else if (!text.empty() && text[0] == '-') {
        std::int64_t ago = 0;
        ok = parse_duration(text.substr(1), ago, why);
        why.clear();
        if (ok) {
            unix_ms = now_ms - ago;
        }
    } else if (!text.empty() && text[0] == '@') {
        ok = parse_unix_seconds(text.c_str() + 1, unix_ms, why);
    } else if (all_digits_or_point(text)) {
        ok = parse_unix_seconds(text.c_str(), unix_ms, why);
    } else {
        IsoTime t;
        if (parse_iso(text.c_str(), t)) {
            ok = true;
            if (t.has_zone) {
                const std::int64_t days = days_from_civil(t.year, static_cast<unsigned>(t.month),
                                                          static_cast<unsigned>(t.day));
                unix_ms =
                    (((days * 24 + t.hour) * 60 + t.minute - t.offset_minutes) * 60 + t.second) *
                        kSecondMs +
                    t.milli;
            } else if (!utc_of_local(t, unix_ms)) {
                ok = false;
                why = " (no such local time)";
            }
        }
    }
    if (!ok) {
        error = "'" + text + "' is not a time" + (why.empty() ? std::string(kForms) : why);
    }
    return ok;
}

std::string format_time_utc(std::int64_t unix_ms) {
    return format_civil(unix_ms, "Z");
}

std::string format_time_local(std::int64_t unix_ms) {
    const std::int64_t seconds = floor_div(unix_ms, kSecondMs);
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    const long offset = tm.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    char zone[48];
    (void)std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 60,
                        magnitude % 60);
    return format_civil(unix_ms + static_cast<std::int64_t>(tm.tm_gmtoff) * kSecondMs, zone);
}

}  // namespace kv830host
