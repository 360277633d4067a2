#include "alarm_export.h"

#include <json/value.h>

#include "csv_text.h"
#include "json_text.h"
#include "time_text.h"

namespace kv830host {

bool export_alarm_events(HistoryStore& store, const RoundQuery& query, bool jsonl,
                         std::ostream& out, unsigned long long& rows, std::string& error) {
    if (!jsonl) {
        out << "time,data_id,signal,priority,state,by\n";
    }
    std::string line;
    return store.read_alarm_events(
        query, 0,
        [&](const AlarmEvent& e) {
            const std::string time = format_time_local(e.unix_ms);
            const char* priority = kv830model::alarm_name(e.priority);
            const char* state = alarm_state_name(e.state);
            if (jsonl) {
                Json::Value v(Json::objectValue);
                v["time"] = time;
                v["data_id"] = e.data_id;
                v["signal"] = e.signal;
                v["priority"] = priority;
                v["state"] = state;
                v["by"] = e.by;
                line = compact_json_text(v);
            } else {
                line = time + "," + std::to_string(e.data_id) + ",";
                append_csv_text(line, e.signal);
                line += std::string(",") + priority + "," + state + ",";
                append_csv_text(line, e.by);
            }
            out << line << '\n';
            ++rows;
            return out.good();
        },
        error);
}

}  // namespace kv830host
