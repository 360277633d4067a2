#include "http_time.h"

namespace kv830host {

namespace {

bool days_in_month_ok(int year, int month, int day) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int days = kDays[month - 1];
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) {
        days = 29;
    }
    return day >= 1 && day <= days;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

bool take_digits(const std::string& text, std::size_t& pos, std::size_t count, int& out) {
    if (pos + count > text.size()) {
        return false;
    }
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    pos += count;
    out = value;
    return true;
}

bool take_char(const std::string& text, std::size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

// Milliseconds of a fraction ".5", ".123456"; digits past the millisecond are ignored.
bool take_fraction(const std::string& text, std::size_t& pos, int& ms) {
    ms = 0;
    if (!take_char(text, pos, '.')) {
        return true;
    }
    std::size_t digits = 0;
    int scale = 100;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (digits < 3) {
            ms += (text[pos] - '0') * scale;
            scale /= 10;
        }
        ++digits;
        ++pos;
    }
    return digits > 0 && digits <= 9;
}

}  // namespace

bool parse_time_ms(const std::string& text, std::int64_t& out_ms) {
    if (text.empty() || text.size() > 40) {
        return false;
    }
    if (text.find_first_not_of("0123456789.") == std::string::npos) {
        std::size_t pos = 0;
        std::int64_t seconds = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] != '.') {
            seconds = seconds * 10 + (text[pos] - '0');
            ++pos;
            if (++digits > 11) {  // past the year 5000: a typo or milliseconds
                return false;
            }
        }
        int ms = 0;
        if (digits == 0 || !take_fraction(text, pos, ms) || pos != text.size()) {
            return false;
        }
        out_ms = seconds * 1000 + ms;
        return true;
    }
    std::size_t pos = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (!take_digits(text, pos, 4, year) || !take_char(text, pos, '-') ||
        !take_digits(text, pos, 2, month) || !take_char(text, pos, '-') ||
        !take_digits(text, pos, 2, day) ||
        !(take_char(text, pos, 'T') || take_char(text, pos, 't') || take_char(text, pos, ' ')) ||
        !take_digits(text, pos, 2, hour) || !take_char(text, pos, ':') ||
        !take_digits(text, pos, 2, minute)) {
        return false;
    }
    if (take_char(text, pos, ':') &&
        (!take_digits(text, pos, 2, second) || !take_fraction(text, pos, ms))) {
        return false;
    }
    if (month < 1 || month > 12 || !days_in_month_ok(year, month, day) || hour > 23 ||
        minute > 59 || second > 60) {
        return false;
    }
    int offset_min = 0;
    if (take_char(text, pos, 'Z') || take_char(text, pos, 'z')) {
        offset_min = 0;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos] == '-' ? -1 : 1;
        ++pos;
        int oh = 0, om = 0;
        if (!take_digits(text, pos, 2, oh)) {
            return false;
        }
        take_char(text, pos, ':');
        if (!take_digits(text, pos, 2, om) || oh > 23 || om > 59) {
            return false;
        }
        offset_min = sign * (oh * 60 + om);
    } else {
        return false;  // a time without a zone means something else on every machine
    }
    if (pos != text.size()) {
        return false;
    }
    const std::int64_t seconds = days_from_civil(year, month, day) * 86400 +
                                 std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second -
                                 std::int64_t{offset_min} * 60;
    out_ms = seconds * 1000 + ms;
    return true;
}

}  // namespace kv830host
