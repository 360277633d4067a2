// The consumers' delivery marks: written inside the grouped commits, and the rounds that
// pruning removes after a mark counted as they go, so that a consumer can say what it will
// never deliver.
#include <algorithm>

#include "history_sql.h"
#include "history_store.h"

namespace kv830host {

bool HistoryStore::has_marks_table(std::string& error) {
    if (has_marks_ < 0) {
        Statement table(db_, "SELECT count(*) FROM sqlite_master WHERE name = 'delivery_mark';");
        if (!table.ok() || sqlite3_step(table.get()) != SQLITE_ROW) {
            return fail("cannot read the delivery marks", error);
        }
        has_marks_ = sqlite3_column_int(table.get(), 0) == 1 ? 1 : 0;
    }
    return true;
}

bool HistoryStore::read_mark(const std::string& consumer, unsigned data_id, MarkRow& out,
                             bool& found, std::string& error) {
    found = false;
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    if (!has_marks_table(error)) {
        return false;
    }
    if (has_marks_ == 0) {
        return true;
    }
    Statement row(db_,
                  "SELECT time, pruned FROM delivery_mark WHERE consumer = ? AND data_id = ?;");
    if (!row.ok() ||
        sqlite3_bind_text(row.get(), 1, consumer.c_str(), static_cast<int>(consumer.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK ||
        !row.bind(2, data_id)) {
        return fail("cannot read the delivery marks", error);
    }
    const int rc = sqlite3_step(row.get());
    if (rc == SQLITE_ROW) {
        found = true;
        out.consumer = consumer;
        out.data_id = data_id;
        out.unix_ms = sqlite3_column_int64(row.get(), 0);
        out.pruned = static_cast<unsigned long long>(sqlite3_column_int64(row.get(), 1));
        return true;
    }
    return rc == SQLITE_DONE || fail("cannot read the delivery marks", error);
}

// Inside the caller's transaction. A mark only moves forward: a consumer that restarted
// from an older copy of its state never makes the file send again what it had delivered.
bool HistoryStore::write_marks(const std::vector<MarkRow>& marks, std::string& error) {
    Statement upsert(db_,
                     "INSERT INTO delivery_mark (consumer, data_id, time) VALUES (?, ?, ?)"
                     " ON CONFLICT (consumer, data_id) DO UPDATE SET time = excluded.time"
                     " WHERE excluded.time > delivery_mark.time;");
    if (!upsert.ok()) {
        return fail("cannot save the delivery marks", error);
    }
    for (const MarkRow& mark : marks) {
        sqlite3_stmt* s = upsert.get();
        if (sqlite3_reset(s) != SQLITE_OK ||
            sqlite3_bind_text(s, 1, mark.consumer.c_str(), static_cast<int>(mark.consumer.size()),
                              SQLITE_TRANSIENT) != SQLITE_OK ||
            !upsert.bind(2, mark.data_id) || !upsert.bind(3, mark.unix_ms) ||
            sqlite3_step(s) != SQLITE_DONE) {
            return fail("cannot save the delivery marks", error);
        }
    }
    return true;
}

// Before the rows up to `last` go: the rounds among them after each mark of their device
// (whole blocks by their summaries, a block that holds the mark by its times, rows of
// older files one by one).
bool HistoryStore::count_pruned_marks(long long last, std::string& error) {
    if (!has_marks_table(error)) {
        return false;
    }
    if (has_marks_ == 0) {
        return true;
    }
    std::vector<MarkRow> marks;
    {
        Statement all(db_, "SELECT consumer, data_id, time FROM delivery_mark;");
        if (!all.ok()) {
            return fail("cannot count what pruning removes", error);
        }
        int rc = 0;
        while ((rc = sqlite3_step(all.get())) == SQLITE_ROW) {
            MarkRow m;
            m.consumer = reinterpret_cast<const char*>(sqlite3_column_text(all.get(), 0));
            m.data_id = static_cast<unsigned>(sqlite3_column_int64(all.get(), 1));
            m.unix_ms = sqlite3_column_int64(all.get(), 2);
            marks.push_back(std::move(m));
        }
        if (rc != SQLITE_DONE) {
            return fail("cannot count what pruning removes", error);
        }
    }
    Statement whole(db_,
                    "SELECT coalesce(sum(rounds), 0) FROM history_summary"
                    " WHERE id <= ? AND data_id = ? AND time_from > ?;");
    Statement holding(db_,
                      "SELECT id FROM history_summary"
                      " WHERE id <= ? AND data_id = ? AND time_from <= ? AND time_to > ?;");
    Statement single(db_,
                     "SELECT count(*) FROM history WHERE id <= ? AND data_id = ? AND format != 3"
                     " AND typeof(time) = 'integer' AND time > ?;");
    Statement add(
        db_, "UPDATE delivery_mark SET pruned = pruned + ? WHERE consumer = ? AND data_id = ?;");
    if (!whole.ok() || !holding.ok() || !single.ok() || !add.ok()) {
        return fail("cannot count what pruning removes", error);
    }
    for (const MarkRow& m : marks) {
        long long count = 0;
        for (Statement* s : {&whole, &single}) {
            if (sqlite3_reset(s->get()) != SQLITE_OK || !s->bind(1, last) ||
                !s->bind(2, m.data_id) || !s->bind(3, m.unix_ms) ||
                sqlite3_step(s->get()) != SQLITE_ROW) {
                return fail("cannot count what pruning removes", error);
            }
            count += sqlite3_column_int64(s->get(), 0);
        }
        if (sqlite3_reset(holding.get()) != SQLITE_OK || !holding.bind(1, last) ||
            !holding.bind(2, m.data_id) || !holding.bind(3, m.unix_ms) ||
            !holding.bind(4, m.unix_ms)) {
            return fail("cannot count what pruning removes", error);
        }
        std::vector<long long> ids;
        while (sqlite3_step(holding.get()) == SQLITE_ROW) {
            ids.push_back(sqlite3_column_int64(holding.get(), 0));
        }
        for (const long long id : ids) {
            BlockView block;
            std::string ignored;
            if (read_block(id, block, ignored)) {
                for (std::size_t i = 0; i < block.rounds(); ++i) {
                    count += block.time(i) > m.unix_ms ? 1 : 0;
                }
            }
        }
        if (count == 0) {
            continue;
        }
        if (sqlite3_reset(add.get()) != SQLITE_OK || !add.bind(1, count) ||
            sqlite3_bind_text(add.get(), 2, m.consumer.c_str(), static_cast<int>(m.consumer.size()),
                              SQLITE_TRANSIENT) != SQLITE_OK ||
            !add.bind(3, m.data_id) || sqlite3_step(add.get()) != SQLITE_DONE) {
            return fail("cannot count what pruning removes", error);
        }
    }
    return true;
}

}  // namespace kv830host
