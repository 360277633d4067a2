// Times and durations of the history as people write them and as rows store them.
#pragma once

#include <cstdint>
#include <string>

namespace kv830host {

// "30d", "12h", "90m", "45s" or a bare number of seconds; whole numbers only. Refuses
// anything else, zero and values beyond a century, with `error` saying what is expected.
bool parse_duration(const std::string& text, std::int64_t& ms, std::string& error);

// A row's stored time: UTC with milliseconds, "2026-12-08T07:31:50.123Z". Text of this
// shape sorts as the times do.
std::string format_stored_time(std::int64_t unix_ms);

// Reads a stored time; older rows carry whole seconds ("2026-12-08T07:31:50Z").
bool parse_stored_time(const char* text, std::int64_t& unix_ms);

// ISO 8601 in the local time zone with its offset: "2026-12-08T08:31:50.123+01:00".
std::string format_local_time(std::int64_t unix_ms);

// A time on a command line or in a request: ISO 8601 ("2026-12-08", "2026-12-08T08:30",
// "2026-12-08 08:30:15.5+01:00", "...Z"; local time without an offset), "now", "-1h"
// (that long before `now_ms`) or "@1765180800" (seconds since 1970).
bool parse_time_argument(const std::string& text, std::int64_t now_ms, std::int64_t& unix_ms,
                         std::string& error);

// Milliseconds since 1970 by the wall clock.
std::int64_t wall_clock_ms();

}  // namespace kv830host
