// The texts that go over MQTT besides the snapshot: the per-cycle summary, register
// write commands coming in and their results going out.
#pragma once

#include <cstdint>
#include <string>

#include "remote_write.h"
#include "round.h"

namespace kv830host {

// {"data_id":1,"number":..,"completed":..,"duration_s":..,"answered":..,"failed":..,
//  "retries":..,"time":"..","last_completed":".." or null}
std::string format_cycle_json(const Round& round);

// {"data_id":1,"number":..,"time":"..","snapshot":{..}}: a round that could not be sent as
// it completed, for PREFIX/history. `snapshot` is the device's text (a JSON object), put in
// as it is; `number` is 0 for a round read back from the history, whose number was not
// kept (null in the message).
void format_history_json(unsigned data_id, unsigned long long number, std::int64_t unix_ms,
                         const std::string& snapshot, std::string& out);

// {"register":..,"values":[..],"outcome":"..","reason":".."} and "command_id" when the
// command had one; register and values are null when the command could not be read that
// far.
std::string format_write_result(const RemoteWrite& write, const WriteOutcome& outcome);

}  // namespace kv830host
