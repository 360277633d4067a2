// Times as people, the page and the files of the program write them: one parser for every
// time that comes from outside (export's --from and --to, /api/history's from and to) and
// one formatter per form the program writes.
#pragma once

#include <cstdint>
#include <string>

namespace kv830host {

// Milliseconds since 1970 by the wall clock.
std::int64_t wall_clock_ms();

// A time as given on a command line or in a request:
//   - ISO 8601, "2026-12-08", "2026-12-08T08:30", "2026-12-08 08:30:15.5", with "Z" or an
//     offset ("+01:00", "+0100", "+01") for that instant, without one in local time;
//   - unix seconds with an optional fraction, bare ("1765180800.250", as the page sends
//     them) or after "@";
//   - "now", or a duration before `now_ms`: "-30m", "-1h", "-7d", "-45s".
// Refuses anything else with `error` saying which forms are taken.
bool parse_time(const std::string& text, std::int64_t now_ms, std::int64_t& unix_ms,
                std::string& error);

// "30d", "12h", "90m", "45s" or a bare number of seconds; whole numbers only. Refuses
// anything else, zero and values beyond a century, with `error` saying what is expected.
bool parse_duration(const std::string& text, std::int64_t& ms, std::string& error);

// UTC with milliseconds, "2026-12-08T07:31:50.123Z": what HTTP and MQTT send. Text of this
// shape sorts as the times do (years 0 to 9999).
std::string format_time_utc(std::int64_t unix_ms);

// The local time with its offset, "2026-12-08T08:31:50.123+01:00": what export prints.
std::string format_time_local(std::int64_t unix_ms);

}  // namespace kv830host
