// The alarm journal of the history file: one row per event, beside the rounds and under
// the same retention.
#include <algorithm>

#include "history_sql.h"
#include "history_store.h"

namespace kv830host {

namespace {

// A chattering alarm is summarised, so even a plant in trouble writes few events; this
// bounds the table whatever happens (a few MB).
constexpr long long kMaxAlarmEvents = 50000;

std::string column_text(sqlite3_stmt* s, int column) {
    const unsigned char* text = sqlite3_column_text(s, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

}  // namespace

bool HistoryStore::append_alarm_events(const std::vector<AlarmEvent>& events, std::int64_t now_ms,
                                       std::string& error) {
    last_failure_ = HistoryFailure::None;
    if (db_ == nullptr || read_only_) {
        error = db_ == nullptr ? "history not open" : "history opened for reading only";
        last_failure_ = HistoryFailure::Other;
        return false;
    }
    std::string why;
    if (!exec("BEGIN IMMEDIATE;", why)) {
        return fail("cannot save alarm events", error);
    }
    bool ok = true;
    {
        Statement insert(db_,
                         "INSERT INTO alarm_event (time, data_id, signal, priority, state, by,"
                         " changes) VALUES (?, ?, ?, ?, ?, ?, ?);");
        ok = insert.ok();
        for (std::size_t i = 0; ok && i < events.size(); ++i) {
            const AlarmEvent& e = events[i];
            sqlite3_stmt* s = insert.get();
            ok = sqlite3_reset(s) == SQLITE_OK && insert.bind(1, e.unix_ms) &&
                 insert.bind(2, e.data_id) &&
                 sqlite3_bind_text(s, 3, e.signal.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
                 sqlite3_bind_text(s, 4, kv830model::alarm_name(e.priority), -1, SQLITE_STATIC) ==
                     SQLITE_OK &&
                 sqlite3_bind_text(s, 5, alarm_state_name(e.state), -1, SQLITE_STATIC) ==
                     SQLITE_OK &&
                 sqlite3_bind_text(s, 6, e.by.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
                 insert.bind(7, e.changes) && sqlite3_step(s) == SQLITE_DONE;
        }
        if (ok && policy_.keep_ms > 0) {
            Statement old(db_, "DELETE FROM alarm_event WHERE time < ?;");
            ok = old.ok() && old.bind(1, now_ms - policy_.keep_ms) &&
                 sqlite3_step(old.get()) == SQLITE_DONE;
        }
        if (ok) {
            Statement beyond(db_,
                             "DELETE FROM alarm_event WHERE id <= "
                             "(SELECT max(id) FROM alarm_event) - ?;");
            ok = beyond.ok() && beyond.bind(1, kMaxAlarmEvents) &&
                 sqlite3_step(beyond.get()) == SQLITE_DONE;
        }
    }
    if (ok && !exec("COMMIT;", why)) {
        ok = false;
    }
    if (!ok) {
        fail("cannot save alarm events", error);
        std::string ignored;
        exec("ROLLBACK;", ignored);
        return false;
    }
    return true;
}

bool HistoryStore::read_alarm_events(const RoundQuery& query, std::size_t latest,
                                     const std::function<bool(const AlarmEvent&)>& visit,
                                     std::string& error) {
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    {
        Statement table(db_, "SELECT count(*) FROM sqlite_master WHERE name = 'alarm_event';");
        if (!table.ok() || sqlite3_step(table.get()) != SQLITE_ROW) {
            return fail("cannot read the alarm journal", error);
        }
        if (sqlite3_column_int(table.get(), 0) == 0) {
            return true;  // a file from before the journal
        }
    }
    // The latest are taken newest first and visited in time order.
    const std::string sql = std::string(
                                "SELECT time, data_id, signal, priority, state, by, changes "
                                "FROM alarm_event WHERE time >= ? AND time <= ? AND "
                                "(? OR data_id = ?) ORDER BY id ") +
                            (latest > 0 ? "DESC LIMIT ?;" : "ASC;");
    Statement s(db_, sql.c_str());
    if (!s.ok() || !s.bind(1, query.from_ms) || !s.bind(2, query.to_ms) ||
        !s.bind(3, query.any_data_id ? 1 : 0) || !s.bind(4, query.data_id) ||
        (latest > 0 && !s.bind(5, static_cast<long long>(latest)))) {
        return fail("cannot read the alarm journal", error);
    }
    std::vector<AlarmEvent> held;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        AlarmEvent e;
        e.unix_ms = sqlite3_column_int64(s.get(), 0);
        e.data_id = static_cast<unsigned>(sqlite3_column_int64(s.get(), 1));
        e.signal = column_text(s.get(), 2);
        // A row this program did not write (edited by hand) is passed over.
        if (!kv830model::parse_alarm_priority(column_text(s.get(), 3), e.priority) ||
            !parse_alarm_state(column_text(s.get(), 4), e.state)) {
            continue;
        }
        e.by = column_text(s.get(), 5);
        e.changes = static_cast<unsigned>(
            std::clamp<long long>(sqlite3_column_int64(s.get(), 6), 0, 0xFFFFFFFFLL));
        if (latest > 0) {
            held.push_back(std::move(e));
        } else if (!visit(e)) {
            return true;
        }
    }
    if (rc != SQLITE_DONE) {
        return fail("cannot read the alarm journal", error);
    }
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if (!visit(*it)) {
            break;
        }
    }
    return true;
}

}  // namespace kv830host
