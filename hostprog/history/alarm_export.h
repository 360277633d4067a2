// `kv830-host export --alarms`: the alarm journal of a history file as CSV or JSON lines.
#pragma once

#include <ostream>
#include <string>

#include "history_store.h"

namespace kv830host {

// The events of `query`, oldest first, with the columns time (local, with its offset),
// data_id, signal, priority, state, by. False with `error` when the file cannot be read.
bool export_alarm_events(HistoryStore& store, const RoundQuery& query, bool jsonl,
                         std::ostream& out, unsigned long long& rows, std::string& error);

}  // namespace kv830host
