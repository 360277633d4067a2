// The texts that go over MQTT besides the snapshot: the per-cycle summary, register
// write commands coming in and their results going out.
#pragma once

#include <cstdint>
#include <string>

#include "cycle_report.h"

namespace kv830host {

constexpr std::size_t kWriteCommandMax = 4096;  // bytes; a full 123-value command is ~800
constexpr std::size_t kWriteValuesMax = 123;    // the most one request 210 carries
constexpr int kRegisterMax = 65535;

// "2026-12-08T07:31:49.123Z"
std::string format_utc_time(std::int64_t unix_ms);

// {"data_id":1,"number":..,"completed":..,"duration_s":..,"answered":..,"failed":..,
//  "retries":..,"time":"..","last_completed":".." or null}
std::string format_cycle_json(const CycleReport& report);

// Whether the operator may write holding register `address`: one the signal table names as
// a setting.
bool register_writable(int address);

// Checks {"register": N, "values": [...]} whole before anything is handed on: strict JSON,
// an object with exactly these two members, N a writable register, 1 to 123 integer
// values from 0 to 65535, every register of the range writable. On a refusal `error` says
// why and `out` keeps what could be read (for the result message).
bool parse_write_command(const std::string& payload, unsigned data_id, WriteCommand& out,
                         std::string& error);

// {"register":..,"values":[..],"outcome":"..","reason":".."}; register and values are null
// when the command could not be read that far.
std::string format_write_result(const WriteCommand* command, const char* outcome,
                                const std::string& reason);

}  // namespace kv830host
