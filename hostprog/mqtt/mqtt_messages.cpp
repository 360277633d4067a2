#include "mqtt_messages.h"

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <cmath>
#include <ctime>
#include <exception>
#include <memory>
#include <sstream>

#include "time_text.h"

namespace kv830host {

namespace {

std::string write_compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    // 15 digits, as a double holds them: 17 would show a duration of 0.001054 s as
    // 0.0010540000000000001.
    builder["precision"] = 15;
    return Json::writeString(builder, value);
}

}  // namespace

std::string format_cycle_json(const Round& r) {
    Json::Value v(Json::objectValue);
    v["data_id"] = r.data_id;
    v["number"] = static_cast<Json::UInt64>(r.number);
    v["completed"] = r.completed;
    v["duration_s"] = r.duration_s;
    for (const RoundCounterInfo& info : kRoundCounters) {
        if (info.in_cycle_message) {
            v[info.key] = r.counters[info.counter];
        }
    }
    v["time"] = format_time_utc(r.end_unix_ms);
    v["last_completed"] = r.last_completed_unix_ms > 0
                              ? Json::Value(format_time_utc(r.last_completed_unix_ms))
                              : Json::Value(Json::nullValue);
    return write_compact(v);
}

void format_history_json(unsigned data_id, unsigned long long number, std::int64_t unix_ms,
                         const std::string& snapshot, std::string& out) {
    std::size_t end = snapshot.size();
    while (end > 0 &&
           (snapshot[end - 1] == '\n' || snapshot[end - 1] == '\r' || snapshot[end - 1] == ' ')) {
        --end;
    }
    out.clear();
    out.reserve(end + 96);
    out += "{\"data_id\":";
    out += std::to_string(data_id);
    out += ",\"number\":";
    out += number != 0 ? std::to_string(number) : std::string("null");
    out += ",\"time\":\"";
    out += format_time_utc(unix_ms);
    out += "\",\"snapshot\":";
    out.append(snapshot, 0, end);
    out += '}';
}

std::string format_write_result(const RemoteWrite& write, const WriteOutcome& outcome) {
    const WriteCommand& command = write.command;
    Json::Value v(Json::objectValue);
    v["register"] = Json::Value(Json::nullValue);
    v["values"] = Json::Value(Json::nullValue);
    if (command.address >= 0) {
        v["register"] = command.address;
        if (!command.values.empty()) {
            v["values"] = Json::Value(Json::arrayValue);
            for (const std::uint16_t w : command.values) {
                v["values"].append(static_cast<Json::UInt>(w));
            }
        }
    }
    if (!write.command_id.empty()) {
        v["command_id"] = write.command_id;
    }
    v["outcome"] = write_outcome_text(outcome.kind);
    v["reason"] = outcome.reason;
    return write_compact(v);
}

}  // namespace kv830host
