// The texts that go over MQTT besides the snapshot: the per-cycle summary, register
// write commands coming in and their results going out.
#pragma once

#include <cstdint>
#include <string>

#include "remote_write.h"
#include "round.h"

namespace kv830host {

// "2026-12-08T07:31:49.123Z"
std::string format_utc_time(std::int64_t unix_ms);

// {"data_id":1,"number":..,"completed":..,"duration_s":..,"answered":..,"failed":..,
//  "retries":..,"time":"..","last_completed":".." or null}
std::string format_cycle_json(const Round& round);

// {"register":..,"values":[..],"outcome":"..","reason":".."} and "command_id" when the
// command had one; register and values are null when the command could not be read that
// far.
std::string format_write_result(const RemoteWrite& write, const WriteOutcome& outcome);

}  // namespace kv830host
