// Reading the history back: rounds in time order for export and the served record, and the
// summaries and single blocks trends are made of.
#include <cstring>
#include <queue>

#include "history_codec.h"
#include "history_sql.h"
#include "history_store.h"
#include "time_text.h"

namespace kv830host {

namespace {

// Longest walk back over rows that do not decode or have another size.
constexpr int kNewestWalk = 1000;

std::int64_t minus_saturated(std::int64_t t, std::int64_t d) {
    return t < std::numeric_limits<std::int64_t>::min() + d
               ? std::numeric_limits<std::int64_t>::min()
               : t - d;
}

// Rounds of rows whose times overlap (blocks of several devices) handed on in time order:
// each waits until no later row can hold an earlier round.
class RoundMerge {
  public:
    explicit RoundMerge(const RoundVisitor& visit) : visit_(visit) {}

    void add(const RowView& row, std::int64_t t, const unsigned char* record, std::size_t size) {
        Waiting w;
        w.order = next_++;
        w.round.id = row.id;
        w.round.unix_ms = t;
        w.round.data_id = row.data_id;
        w.round.record_type = row.record_type;
        w.round.record.assign(record, record + size);
        waiting_.push(std::move(w));
    }

    // Hands on the rounds up to `t`; false once the visitor asked to stop.
    bool release(std::int64_t t) {
        while (!stopped_ && !waiting_.empty() && waiting_.top().round.unix_ms <= t) {
            stopped_ = !visit_(waiting_.top().round);
            waiting_.pop();
        }
        return !stopped_;
    }

  private:
    struct Waiting {
        unsigned long long order = 0;  // rounds of one time in the order of their rows
        StoredRound round;
        bool operator<(const Waiting& other) const {
            return round.unix_ms != other.round.unix_ms ? round.unix_ms > other.round.unix_ms
                                                        : order > other.order;
        }
    };
    const RoundVisitor& visit_;
    std::priority_queue<Waiting> waiting_;
    unsigned long long next_ = 0;
    bool stopped_ = false;
};

// The decoded previous row of a series of one-round rows.
struct Chain {
    bool valid = false;
    bool started = false;  // a row of the series was seen in this walk
    std::vector<unsigned char> record;
};

}  // namespace

std::string select_rows(bool has_format, const char* rest) {
    return std::string("SELECT id, time, data_id, record_type, ") + (has_format ? "format" : "0") +
           ", record FROM history " + rest;
}

bool column_time(sqlite3_stmt* s, int column, std::int64_t& unix_ms) {
    if (sqlite3_column_type(s, column) == SQLITE_INTEGER) {
        unix_ms = sqlite3_column_int64(s, column);
        return true;
    }
    // Files from before hold UTC text with its Z.
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    const std::size_t n = text != nullptr ? std::strlen(text) : 0;
    std::string ignored;
    return n > 0 && text[n - 1] == 'Z' && parse_time(text, 0, unix_ms, ignored);
}

RowView row_view(sqlite3_stmt* s) {
    RowView v{};
    v.id = sqlite3_column_int64(s, 0);
    v.timed = column_time(s, 1, v.time);
    v.data_id = static_cast<unsigned>(sqlite3_column_int64(s, 2));
    v.record_type = sqlite3_column_int(s, 3);
    v.format = sqlite3_column_int(s, 4);
    v.blob = static_cast<const unsigned char*>(sqlite3_column_blob(s, 5));
    const int n = sqlite3_column_bytes(s, 5);
    v.size = v.blob != nullptr && n > 0 ? static_cast<std::size_t>(n) : 0;
    return v;
}

bool decode_single(const RowView& v, const std::vector<unsigned char>* base,
                   std::vector<unsigned char>& out) {
    switch (static_cast<RecordFormat>(v.format)) {
        case RecordFormat::Raw:
            out.assign(v.blob, v.blob + v.size);
            return true;
        case RecordFormat::Sparse:
            return apply_patch(nullptr, 0, v.blob, v.size, out);
        case RecordFormat::Delta:
            if (base == nullptr) {
                return false;
            }
            if (&out != base) {
                out = *base;
            }
            return apply_patch(out.data(), out.size(), v.blob, v.size, out);
        case RecordFormat::Block:
            break;
    }
    return false;
}

// Decodes the series' row just before `before_id`, from the last row that needs no base.
bool HistoryStore::decode_chain(unsigned data_id, int record_type, long long before_id,
                                std::vector<unsigned char>& record, std::string& error) {
    long long key_id = 0;
    {
        Statement key(db_, has_format_
                               ? "SELECT id FROM history WHERE id < ? AND data_id = ? AND"
                                 " record_type = ? AND format IN (0, 1) ORDER BY id DESC LIMIT 1;"
                               : "SELECT id FROM history WHERE id < ? AND data_id = ? AND"
                                 " record_type = ? ORDER BY id DESC LIMIT 1;");
        if (!key.ok() || !key.bind(1, before_id) || !key.bind(2, data_id) ||
            !key.bind(3, record_type)) {
            return fail("cannot read history", error);
        }
        const int rc = sqlite3_step(key.get());
        if (rc == SQLITE_DONE) {
            return false;
        }
        if (rc != SQLITE_ROW) {
            return fail("cannot read history", error);
        }
        key_id = sqlite3_column_int64(key.get(), 0);
    }
    Statement rows(db_, select_rows(has_format_,
                                    "WHERE id >= ? AND id < ? AND data_id = ? AND record_type = ?"
                                    " ORDER BY id;")
                            .c_str());
    if (!rows.ok() || !rows.bind(1, key_id) || !rows.bind(2, before_id) || !rows.bind(3, data_id) ||
        !rows.bind(4, record_type)) {
        return fail("cannot read history", error);
    }
    bool have = false;
    int rc = 0;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        have = decode_single(row_view(rows.get()), have ? &record : nullptr, record);
    }
    if (rc != SQLITE_DONE) {
        return fail("cannot read history", error);
    }
    return have;
}

bool HistoryStore::newest_round(unsigned data_id, int record_type, std::size_t size,
                                StoredRound& round, std::string& error) {
    error.clear();
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    Statement rows(
        db_,
        select_rows(has_format_, "WHERE data_id = ? AND record_type = ? ORDER BY id DESC LIMIT ?;")
            .c_str());
    if (!rows.ok() || !rows.bind(1, data_id) || !rows.bind(2, record_type) ||
        !rows.bind(3, kNewestWalk)) {
        return fail("cannot read history", error);
    }
    BlockView block;
    int rc = 0;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        const RowView v = row_view(rows.get());
        std::vector<unsigned char> record;
        bool ok = false;
        std::int64_t t = v.time;
        if (v.format == static_cast<int>(RecordFormat::Block)) {
            ok = v.timed && block.open(v.blob, v.size, v.time, compressor_);
            if (ok) {
                block.records(record);
                const std::size_t last = block.rounds() - 1;
                record.erase(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(
                                                                  last * block.record_size()));
                t = block.time(last);
            }
        } else {
            std::vector<unsigned char> base;
            const std::vector<unsigned char>* base_ptr = nullptr;
            if (v.format == static_cast<int>(RecordFormat::Delta)) {
                std::string why;
                if (decode_chain(data_id, record_type, v.id, base, why)) {
                    base_ptr = &base;
                } else if (!why.empty()) {
                    error = why;
                    return false;
                }
            }
            ok = v.timed && decode_single(v, base_ptr, record);
        }
        if (ok && (size == 0 || record.size() == size)) {
            round.id = v.id;
            round.unix_ms = t;
            round.data_id = v.data_id;
            round.record_type = v.record_type;
            round.record = std::move(record);
            return true;
        }
        ++rows_skipped_;
    }
    if (rc != SQLITE_DONE) {
        return fail("cannot read history", error);
    }
    return false;
}

// By halving the id range: ids rise with time, and the file keeps no index on time that
// every commit would have to write.
bool HistoryStore::first_id_at_or_after(std::int64_t from_ms, long long& id, std::string& error) {
    // Two statements: SQLite finds min() or max() alone at one end of the tree, both
    // together by a scan.
    Statement low(db_, "SELECT min(id) FROM history;");
    Statement high(db_, "SELECT max(id) FROM history;");
    if (!low.ok() || !high.ok() || sqlite3_step(low.get()) != SQLITE_ROW ||
        sqlite3_step(high.get()) != SQLITE_ROW) {
        return fail("cannot read history", error);
    }
    long long lo = sqlite3_column_int64(low.get(), 0);
    long long hi = sqlite3_column_int64(high.get(), 0) + 1;
    Statement probe(db_, "SELECT id, time FROM history WHERE id >= ? ORDER BY id LIMIT 1;");
    if (!probe.ok()) {
        return fail("cannot read history", error);
    }
    while (lo < hi) {
        const long long mid = lo + (hi - lo) / 2;
        sqlite3_reset(probe.get());
        if (!probe.bind(1, mid)) {
            return fail("cannot read history", error);
        }
        const int rc = sqlite3_step(probe.get());
        if (rc == SQLITE_DONE) {
            hi = mid;
            continue;
        }
        if (rc != SQLITE_ROW) {
            return fail("cannot read history", error);
        }
        const long long found = sqlite3_column_int64(probe.get(), 0);
        std::int64_t t = 0;
        if (column_time(probe.get(), 1, t) && t < from_ms) {
            lo = found + 1;
        } else {
            hi = mid;
        }
    }
    id = lo;
    return true;
}

bool HistoryStore::read_rounds(const RoundQuery& query, const RoundVisitor& visit,
                               std::string& error) {
    error.clear();
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    long long start = 0;
    // The block that holds the query's first round began at most a block's span before.
    if (query.from_ms != std::numeric_limits<std::int64_t>::min() &&
        !first_id_at_or_after(minus_saturated(query.from_ms, kMaxBlockSpanMs), start, error)) {
        return false;
    }
    return read_rows(start, std::numeric_limits<long long>::max(), query, visit, error);
}

bool HistoryStore::read_rows(long long from_id, long long end_id, const RoundQuery& query,
                             const RoundVisitor& visit, std::string& error) {
    error.clear();
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    Statement rows(db_, select_rows(has_format_, "WHERE id >= ? AND id < ? ORDER BY id;").c_str());
    if (!rows.ok() || !rows.bind(1, from_id) || !rows.bind(2, end_id)) {
        return fail("cannot read history", error);
    }
    RoundMerge merge(visit);
    std::map<SeriesKey, Chain> chains;
    BlockView block;
    std::vector<unsigned char> records;
    int rc = 0;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        const RowView v = row_view(rows.get());
        if (v.timed && v.time > query.to_ms) {
            break;
        }
        if (!query.any_data_id && v.data_id != query.data_id) {
            continue;
        }
        // Later rows start at this row's time or after: what waits before it is complete.
        if (v.timed && !merge.release(v.time)) {
            return true;
        }
        if (v.format == static_cast<int>(RecordFormat::Block)) {
            if (!v.timed || !block.open(v.blob, v.size, v.time, compressor_)) {
                ++rows_skipped_;
                continue;
            }
            block.records(records);
            const std::size_t size = block.record_size();
            for (std::size_t i = 0; i < block.rounds(); ++i) {
                if (block.time(i) >= query.from_ms && block.time(i) <= query.to_ms) {
                    merge.add(v, block.time(i), records.data() + i * size, size);
                }
            }
            continue;
        }
        Chain& c = chains[SeriesKey(v.data_id, v.record_type)];
        const bool delta = v.format == static_cast<int>(RecordFormat::Delta);
        if (delta && !c.started) {
            // The first row of this series in the walk: its base lies before the start.
            std::string why;
            c.valid = decode_chain(v.data_id, v.record_type, v.id, c.record, why);
            if (!why.empty()) {
                error = why;
                return false;
            }
        }
        c.started = true;
        c.valid = decode_single(v, delta && c.valid ? &c.record : nullptr, c.record);
        // A row whose time is damaged is left out alone: its record still serves as the
        // base of the next.
        if (!c.valid || !v.timed) {
            ++rows_skipped_;
            continue;
        }
        if (v.time >= query.from_ms) {
            merge.add(v, v.time, c.record.data(), c.record.size());
        }
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return fail("cannot read history", error);
    }
    merge.release(std::numeric_limits<std::int64_t>::max());
    return true;
}

bool HistoryStore::read_summaries(SummaryLevel level, long long from_id,
                                  const SummaryVisitor& visit, std::string& error) {
    error.clear();
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    if (!has_summaries_) {
        return true;
    }
    Statement rows(db_, level == SummaryLevel::Block
                            ? "SELECT id, id, data_id, record_type, time_from, time_to, summary"
                              " FROM history_summary WHERE id >= ? ORDER BY id;"
                            : "SELECT id, first_id, data_id, record_type, time_from, time_to,"
                              " summary FROM history_bin WHERE id >= ? ORDER BY id;");
    if (!rows.ok() || !rows.bind(1, from_id)) {
        return fail("cannot read history", error);
    }
    SummaryRow row;
    int rc = 0;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        sqlite3_stmt* s = rows.get();
        row.id = sqlite3_column_int64(s, 0);
        row.first_id = sqlite3_column_int64(s, 1);
        row.data_id = static_cast<unsigned>(sqlite3_column_int64(s, 2));
        row.record_type = sqlite3_column_int(s, 3);
        row.time_from = sqlite3_column_int64(s, 4);
        row.time_to = sqlite3_column_int64(s, 5);
        row.blob = static_cast<const unsigned char*>(sqlite3_column_blob(s, 6));
        row.size = row.blob != nullptr ? static_cast<std::size_t>(sqlite3_column_bytes(s, 6)) : 0;
        const long long next = visit(row);
        if (next == kWalkStop) {
            return true;
        }
        // Only forward, so that a walk always ends.
        if (next > row.id + 1 && !rows.rebind(1, next)) {
            return fail("cannot read history", error);
        }
    }
    if (rc != SQLITE_DONE) {
        return fail("cannot read history", error);
    }
    return true;
}

bool HistoryStore::read_block(long long id, BlockView& block, std::string& error) {
    error.clear();
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    Statement row(db_, select_rows(has_format_, "WHERE id = ?;").c_str());
    if (!row.ok() || !row.bind(1, id)) {
        return fail("cannot read history", error);
    }
    const int rc = sqlite3_step(row.get());
    if (rc == SQLITE_DONE) {
        return false;
    }
    if (rc != SQLITE_ROW) {
        return fail("cannot read history", error);
    }
    const RowView v = row_view(row.get());
    if (v.format != static_cast<int>(RecordFormat::Block) || !v.timed ||
        !block.open(v.blob, v.size, v.time, compressor_)) {
        ++rows_skipped_;
        return false;
    }
    return true;
}

}  // namespace kv830host
