// Saving rounds: blocks and their summaries in one transaction per commit, the five-minute
// bins of summaries as they complete, and the pruning that keeps the file within its limits.
#include <algorithm>

#include "history_sql.h"
#include "history_store.h"
#include "history_summary.h"
#include "time_text.h"

namespace kv830host {

namespace {

// Stored rows are about a tenth of a page: a page is taken to hold this share of payload.
constexpr double kPageFill = 0.8;
// Per-row cost of a table's b-tree beyond the blob (cell, header, the other columns).
constexpr std::size_t kRowOverhead = 40;
// What a block's summary row takes of the file: two share a page.
constexpr std::size_t kSummaryRowBytes = 512;
// Pruning happens about once per this many commits, each time for as many.
constexpr std::size_t kPruneGroups = 10;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

// A block as the commit writes it: packed before the transaction, so that the file is
// locked only for the writing.
struct HistoryStore::NewBlock {
    unsigned data_id = 0;
    int record_type = 0;
    std::size_t record_size = 0;
    std::vector<std::int64_t> times;
    std::vector<const unsigned char*> records;
    std::vector<unsigned char> blob;
    std::vector<unsigned char> summary;
    long long id = 0;  // once inserted
};

namespace {

// Whether `round` may join `block`: same series, room left, within the span, in time order.
bool joins(const std::vector<const unsigned char*>& records, const std::vector<std::int64_t>& times,
           const RoundToSave& round) {
    return records.size() < kMaxBlockRounds && round.unix_ms >= times.back() &&
           round.unix_ms - times.front() <= kMaxBlockSpanMs &&
           (records.size() + 1) * (round.size + kBlockRoundOverhead) <= kMaxBlockBytes;
}

}  // namespace

// The rounds of each device in blocks, in the order of their first rounds, so that the
// blocks' ids rise with their first rounds' times; returns the bytes they will take.
std::size_t HistoryStore::pack_blocks(const RoundToSave* rounds, std::size_t count,
                                      std::vector<NewBlock>& blocks) {
    std::map<std::pair<SeriesKey, std::size_t>, std::size_t> filling;  // series, size: block
    for (std::size_t i = 0; i < count; ++i) {
        const RoundToSave& r = rounds[i];
        const auto key = std::make_pair(SeriesKey(r.data_id, r.record_type), r.size);
        const auto it = filling.find(key);
        if (it == filling.end() ||
            !joins(blocks[it->second].records, blocks[it->second].times, r)) {
            filling[key] = blocks.size();
            blocks.emplace_back();
            blocks.back().data_id = r.data_id;
            blocks.back().record_type = r.record_type;
            blocks.back().record_size = r.size;
        }
        NewBlock& b = blocks[filling[key]];
        b.times.push_back(r.unix_ms);
        b.records.push_back(r.data);
    }
    std::size_t bytes = 0;
    for (NewBlock& b : blocks) {
        encode_block(b.times.data(), b.records.data(), b.records.size(), b.record_size, compressor_,
                     b.blob);
        Summary summary;
        if (summarised(b.record_type, b.record_size)) {
            for (const unsigned char* record : b.records) {
                summary.add(record);
            }
        }
        encode_summary(summary, compressor_, b.summary);
        bytes += b.blob.size() + b.summary.size() + 2 * kRowOverhead;
    }
    return bytes;
}

bool HistoryStore::append_batch(const RoundToSave* rounds, std::size_t count, std::int64_t now_ms,
                                std::string& error) {
    return append_batch(rounds, count, {}, now_ms, error);
}

bool HistoryStore::append_batch(const RoundToSave* rounds, std::size_t count,
                                const std::vector<MarkRow>& marks, std::int64_t now_ms,
                                std::string& error) {
    last_failure_ = HistoryFailure::None;
    if (db_ == nullptr || read_only_) {
        error = db_ == nullptr ? "history not open" : "history opened for reading only";
        last_failure_ = HistoryFailure::Other;
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (rounds[i].data == nullptr || rounds[i].size == 0 || rounds[i].size > kMaxRecordBytes) {
            error = "a round of " + std::to_string(rounds[i].size) + " bytes cannot be saved";
            last_failure_ = HistoryFailure::Other;
            return false;
        }
    }
    if (count == 0 && marks.empty()) {
        return true;
    }
    // Packed first, so that the transaction holds the lock only for the writing.
    std::vector<NewBlock> blocks;
    const std::size_t bytes = pack_blocks(rounds, count, blocks);
    std::string why;
    if (!exec("BEGIN IMMEDIATE;", why)) {
        return fail("cannot save rounds", error);
    }
    bool ok = write_marks(marks, error) &&
              (count == 0 || prune(blocks.size(), bytes, now_ms, error)) &&
              insert_blocks(blocks, error) && update_bins(blocks, error);
    if (ok && !exec("COMMIT;", why)) {
        ok = false;
        fail("cannot save rounds", error);
    }
    compressor_.release();
    if (!ok) {
        std::string ignored;
        exec("ROLLBACK;", ignored);
        // The bins' state may name rows that are not there: read it again next time.
        bins_.clear();
        return false;
    }
    rows_written_ += static_cast<long long>(blocks.size());
    return true;
}

bool HistoryStore::insert_blocks(std::vector<NewBlock>& blocks, std::string& error) {
    Statement row(db_,
                  "INSERT INTO history (time, data_id, record_type, record, format)"
                  " VALUES (?, ?, ?, ?, 3);");
    Statement summary(db_,
                      "INSERT INTO history_summary (id, data_id, record_type, time_from, time_to,"
                      " rounds, summary) VALUES (?, ?, ?, ?, ?, ?, ?);");
    if (!row.ok() || !summary.ok()) {
        return fail("cannot save rounds", error);
    }
    for (NewBlock& b : blocks) {
        sqlite3_stmt* r = row.get();
        sqlite3_stmt* s = summary.get();
        const std::int64_t first = b.times.front();
        const bool ok = sqlite3_reset(r) == SQLITE_OK &&
                        (time_text_ ? sqlite3_bind_text(r, 1, format_time_utc(first).c_str(), -1,
                                                        SQLITE_TRANSIENT)
                                    : sqlite3_bind_int64(r, 1, first)) == SQLITE_OK &&
                        row.bind(2, b.data_id) && row.bind(3, b.record_type) &&
                        sqlite3_bind_blob(r, 4, b.blob.data(), static_cast<int>(b.blob.size()),
                                          SQLITE_STATIC) == SQLITE_OK &&
                        sqlite3_step(r) == SQLITE_DONE;
        b.id = sqlite3_last_insert_rowid(db_);
        if (!ok || sqlite3_reset(s) != SQLITE_OK || !summary.bind(1, b.id) ||
            !summary.bind(2, b.data_id) || !summary.bind(3, b.record_type) ||
            !summary.bind(4, first) || !summary.bind(5, b.times.back()) ||
            !summary.bind(6, static_cast<long long>(b.times.size())) ||
            // An empty summary (a record of another layout) is an empty blob, not null.
            sqlite3_bind_blob(s, 7,
                              b.summary.empty() ? static_cast<const void*>("") : b.summary.data(),
                              static_cast<int>(b.summary.size()), SQLITE_STATIC) != SQLITE_OK ||
            sqlite3_step(s) != SQLITE_DONE) {
            return fail("cannot save rounds", error);
        }
    }
    return true;
}

// A device's bin is summarised once its next block lies in another bin.
bool HistoryStore::update_bins(const std::vector<NewBlock>& blocks, std::string& error) {
    for (const NewBlock& b : blocks) {
        if (!summarised(b.record_type, b.record_size)) {
            continue;
        }
        const SeriesKey key(b.data_id, b.record_type);
        BinState& state = bins_[key];
        if (!state.loaded && !load_bin(key, b.id, state, error)) {
            return false;
        }
        const std::int64_t bin = floor_div(b.times.front(), kSummaryBinMs);
        if (state.any && bin != state.bin) {
            if (!write_bin(key, state, error)) {
                return false;
            }
            state.first_id = b.id;
        } else if (!state.any) {
            state.first_id = b.id;
        }
        state.any = true;
        state.bin = bin;
        state.last_id = b.id;
    }
    return true;
}

// The device's newest block before `before_id` and the first block of its bin.
bool HistoryStore::load_bin(const SeriesKey& key, long long before_id, BinState& state,
                            std::string& error) {
    Statement rows(db_,
                   "SELECT id, time_from FROM history_summary WHERE id < ? AND data_id = ? AND"
                   " record_type = ? ORDER BY id DESC;");
    if (!rows.ok() || !rows.bind(1, before_id) || !rows.bind(2, key.first) ||
        !rows.bind(3, key.second)) {
        return fail("cannot save rounds", error);
    }
    state = BinState{};
    state.loaded = true;
    int rc = 0;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        const long long id = sqlite3_column_int64(rows.get(), 0);
        const std::int64_t bin = floor_div(sqlite3_column_int64(rows.get(), 1), kSummaryBinMs);
        if (state.any && bin != state.bin) {
            return true;
        }
        if (!state.any) {
            state.any = true;
            state.bin = bin;
            state.last_id = id;
        }
        state.first_id = id;
    }
    return rc == SQLITE_DONE || fail("cannot save rounds", error);
}

// Merges the summaries of a bin's blocks into a row of history_bin. A bin whose rows are not
// all blocks with summaries (rows of an older version between them, or its first blocks
// pruned) gets none: trends read its blocks instead.
bool HistoryStore::write_bin(const SeriesKey& key, const BinState& state, std::string& error) {
    Statement rows(db_,
                   "SELECT id, data_id, record_type, time_from, time_to, rounds, summary"
                   " FROM history_summary WHERE id >= ? AND id <= ? ORDER BY id;");
    if (!rows.ok() || !rows.bind(1, state.first_id) || !rows.bind(2, state.last_id)) {
        return fail("cannot save rounds", error);
    }
    Summary merged;
    Summary one;
    std::int64_t time_from = 0;
    std::int64_t time_to = 0;
    long long rounds = 0;
    long long expected = state.first_id;
    int rc = 0;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        sqlite3_stmt* s = rows.get();
        if (sqlite3_column_int64(s, 0) != expected++) {
            return true;
        }
        if (static_cast<unsigned>(sqlite3_column_int64(s, 1)) != key.first ||
            sqlite3_column_int(s, 2) != key.second) {
            continue;
        }
        const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(s, 6));
        if (!decode_summary(blob, static_cast<std::size_t>(sqlite3_column_bytes(s, 6)), compressor_,
                            one)) {
            return true;
        }
        time_from = merged.empty() ? sqlite3_column_int64(s, 3) : time_from;
        time_to = std::max(time_to, static_cast<std::int64_t>(sqlite3_column_int64(s, 4)));
        rounds += sqlite3_column_int64(s, 5);
        merged.merge(one);
    }
    if (rc != SQLITE_DONE) {
        return fail("cannot save rounds", error);
    }
    if (expected != state.last_id + 1 || merged.empty()) {
        return true;
    }
    std::vector<unsigned char> blob;
    encode_summary(merged, compressor_, blob);
    Statement insert(db_,
                     "INSERT OR REPLACE INTO history_bin (id, first_id, data_id, record_type,"
                     " time_from, time_to, rounds, summary) VALUES (?, ?, ?, ?, ?, ?, ?, ?);");
    if (!insert.ok() || !insert.bind(1, state.last_id) || !insert.bind(2, state.first_id) ||
        !insert.bind(3, key.first) || !insert.bind(4, key.second) || !insert.bind(5, time_from) ||
        !insert.bind(6, time_to) || !insert.bind(7, rounds) ||
        sqlite3_bind_blob(insert.get(), 8, blob.data(), static_cast<int>(blob.size()),
                          SQLITE_STATIC) != SQLITE_OK ||
        sqlite3_step(insert.get()) != SQLITE_DONE) {
        return fail("cannot save rounds", error);
    }
    return true;
}

bool HistoryStore::append(unsigned data_id, int record_type, const unsigned char* data,
                          unsigned size, std::string& error) {
    RoundToSave round;
    round.data_id = data_id;
    round.record_type = record_type;
    round.unix_ms = wall_clock_ms();
    round.data = data;
    round.size = size;
    return append_batch(&round, 1, round.unix_ms, error);
}

// Deletes a prefix of the oldest rows: those past the age limit, and as many as the size
// limit needs to make room for what comes, each bounded so that a commit stays short.
bool HistoryStore::prune(std::size_t incoming_rows, std::size_t incoming_bytes, std::int64_t now_ms,
                         std::string& error) {
    const std::size_t cap = std::max(policy_.prune_batch, 2 * kPruneGroups * incoming_rows);
    long long last = 0;  // prune ids up to this one
    if (policy_.keep_ms > 0) {
        // Ids rise by one per row and only the oldest are ever deleted, so the rows before
        // the first one inside the window are counted by their ids.
        long long first_kept = 0;
        if (!first_id_at_or_after(now_ms - policy_.keep_ms, first_kept, error)) {
            return false;
        }
        Statement oldest(db_, "SELECT min(id) FROM history;");
        if (!oldest.ok() || sqlite3_step(oldest.get()) != SQLITE_ROW) {
            return fail("cannot prune", error);
        }
        const long long first = sqlite3_column_int64(oldest.get(), 0);
        const long long expired = first_kept - first;
        // Expired rows wait until there are several commits' worth: deleting touches the
        // oldest pages of the tree, and once per group costs less than once per commit.
        const auto group = static_cast<long long>(
            std::min(cap, kPruneGroups * std::max<std::size_t>(incoming_rows, 1)));
        if (expired >= group) {
            last = std::min(first_kept - 1, first + static_cast<long long>(cap) - 1);
        }
    }
    if (policy_.max_bytes > 0) {
        HistoryUsage u;
        if (!usage(u, error)) {
            return false;
        }
        const double payload_per_page = static_cast<double>(u.page_size) * kPageFill;
        const auto needed =
            static_cast<long long>(static_cast<double>(incoming_bytes) / payload_per_page + 4);
        const long long limit = policy_.max_bytes / u.page_size;
        const long long over = u.page_count - u.free_pages + needed - limit;
        if (over > 0) {
            // Room for several commits at once, for the same reason as above.
            const double room =
                static_cast<double>(over + static_cast<long long>(kPruneGroups - 1) * needed) *
                payload_per_page;
            // The oldest rows by their own sizes: one-round rows of older files and blocks
            // differ twentyfold. Reading a block's format walks its pages, for a few rows.
            Statement oldest(
                db_, has_format_
                         ? "SELECT id, length(record), format FROM history ORDER BY id LIMIT ?;"
                         : "SELECT id, length(record), 0 FROM history ORDER BY id LIMIT ?;");
            if (!oldest.ok() || !oldest.bind(1, static_cast<long long>(cap))) {
                return fail("cannot prune", error);
            }
            double freed = 0;
            int rc = 0;
            while (freed < room && (rc = sqlite3_step(oldest.get())) == SQLITE_ROW) {
                const bool block =
                    sqlite3_column_int(oldest.get(), 2) == static_cast<int>(RecordFormat::Block);
                freed += static_cast<double>(sqlite3_column_int64(oldest.get(), 1)) +
                         static_cast<double>(kRowOverhead + (block ? kSummaryRowBytes : 0));
                last =
                    std::max(last, static_cast<long long>(sqlite3_column_int64(oldest.get(), 0)));
            }
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                return fail("cannot prune", error);
            }
        }
    }
    return last == 0 || prune_through(last, error);
}

bool HistoryStore::prune_through(long long last, std::string& error) {
    // One-round rows that follow and patch a pruned row would no longer decode: they go
    // with it.
    {
        Statement after(db_, "SELECT id, format FROM history WHERE id > ? ORDER BY id LIMIT 4096;");
        if (!after.ok() || !after.bind(1, last)) {
            return fail("cannot prune", error);
        }
        while (sqlite3_step(after.get()) == SQLITE_ROW &&
               sqlite3_column_int(after.get(), 1) == static_cast<int>(RecordFormat::Delta)) {
            last = sqlite3_column_int64(after.get(), 0);
        }
    }
    if (!count_pruned_marks(last, error)) {
        return false;
    }
    Statement rows(db_, "DELETE FROM history WHERE id <= ?;");
    if (!rows.ok() || !rows.bind(1, last) || sqlite3_step(rows.get()) != SQLITE_DONE) {
        return fail("cannot prune", error);
    }
    rows_pruned_ += sqlite3_changes(db_);
    // A bin whose first blocks went is no longer written (write_bin); one already written
    // goes with its last block.
    for (const char* sql :
         {"DELETE FROM history_summary WHERE id <= ?;", "DELETE FROM history_bin WHERE id <= ?;"}) {
        Statement summaries(db_, sql);
        if (!summaries.ok() || !summaries.bind(1, last) ||
            sqlite3_step(summaries.get()) != SQLITE_DONE) {
            return fail("cannot prune", error);
        }
    }
    return true;
}

}  // namespace kv830host
