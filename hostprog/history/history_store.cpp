#include "history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "history_codec.h"
#include "history_time.h"

namespace kv830host {

namespace {

// A rollback journal holds the old contents of the few pages a grouped commit changes;
// the rows themselves reach the file once. A write-ahead log would write every page twice.
constexpr const char* kJournalMode = "PRAGMA journal_mode=TRUNCATE;";
// Small pages keep the journal small: a commit journals the few pages it changes (the
// first page, the last leaf, its parent, the free list), 1 KiB each instead of 4 KiB.
// Takes effect only on a new file.
constexpr const char* kPageSize = "PRAGMA page_size=1024;";
// A commit is on the medium when it returns, so a power cut loses only what waits.
constexpr const char* kSynchronous = "PRAGMA synchronous=FULL;";
// Stored rows are about a tenth of a page: a page is taken to hold this share of payload.
constexpr double kPageFill = 0.8;
// Per-row cost of the table b-tree beyond the record (cell, header, time text).
constexpr std::size_t kRowOverhead = 40;
// Pruning happens about once per this many commits, each time for as many.
constexpr std::size_t kPruneGroups = 10;
// Longest walk back over rows that do not decode or have another size.
constexpr int kNewestWalk = 1000;

// Finalises a statement on every way out of a function.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return rc_ == SQLITE_OK && s_ != nullptr; }
    sqlite3_stmt* get() const { return s_; }
    bool bind(int i, long long v) { return sqlite3_bind_int64(s_, i, v) == SQLITE_OK; }

  private:
    sqlite3_stmt* s_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

HistoryFailure classify(int code) {
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return HistoryFailure::Busy;
        case SQLITE_FULL:
            return HistoryFailure::Full;
        case SQLITE_READONLY:
        case SQLITE_PERM:
            return HistoryFailure::ReadOnly;
        case SQLITE_IOERR:
        case SQLITE_CANTOPEN:
            return HistoryFailure::Io;
        default:
            return HistoryFailure::Other;
    }
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The reasons SQLite's "unable to open database file" leaves out.
bool check_path(const std::string& path, bool write, std::string& error) {
    const std::string folder = folder_of(path);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        error = "cannot open history " + path + ": folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "cannot open history " + path + ": " + folder + " is not a folder";
        return false;
    }
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        error = "cannot open history " + path + ": not a regular file";
        return false;
    }
    if (!exists && !write) {
        error = "cannot open history " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!write) {
        if (::access(path.c_str(), R_OK) != 0) {
            error = "cannot read history " + path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    if (exists && ::access(path.c_str(), R_OK | W_OK) != 0) {
        error = "history " + path + " cannot be written: " + std::strerror(errno) +
                " (reading it is still possible: export, --cycles 0)";
        return false;
    }
    // The journal is created beside the file at every commit.
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        error = "history " + path + " cannot be written: folder " + folder + ": " +
                std::strerror(errno) + " (reading it is still possible: export, --cycles 0)";
        return false;
    }
    return true;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string uri_of(const std::string& path) {
    std::string uri = "file:";
    for (const char c : path) {
        if (c == '?' || c == '#' || c == '%') {
            const auto byte = static_cast<unsigned char>(c);
            uri += '%';
            uri += kHexDigits[byte >> 4];
            uri += kHexDigits[byte & 0x0F];
        } else {
            uri += c;
        }
    }
    return uri + "?immutable=1";
}

// Rows of this program store the time as milliseconds since 1970; files from before
// hold UTC text.
bool column_time(sqlite3_stmt* s, int column, std::int64_t& unix_ms) {
    if (sqlite3_column_type(s, column) == SQLITE_INTEGER) {
        unix_ms = sqlite3_column_int64(s, column);
        return true;
    }
    return parse_stored_time(reinterpret_cast<const char*>(sqlite3_column_text(s, column)),
                             unix_ms);
}

struct RowView {
    long long id;
    bool timed;
    std::int64_t time;
    unsigned data_id;
    int record_type;
    int format;
    const unsigned char* blob;
    std::size_t size;
};

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

// Decodes one row given the decoded previous row of its series (nullptr: none known).
bool decode_row(const RowView& v, const std::vector<unsigned char>* base,
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
    }
    return false;
}

}  // namespace

const char* history_failure_name(HistoryFailure failure) {
    switch (failure) {
        case HistoryFailure::None:
            return "none";
        case HistoryFailure::Busy:
            return "locked by another program";
        case HistoryFailure::Full:
            return "disk full";
        case HistoryFailure::ReadOnly:
            return "read-only";
        case HistoryFailure::Io:
            return "input/output error";
        case HistoryFailure::Other:
            return "database error";
    }
    return "database error";
}

HistoryStore::~HistoryStore() {
    close();
}

void HistoryStore::close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

void HistoryStore::set_busy_timeout_ms(int ms) {
    if (db_ != nullptr) {
        sqlite3_busy_timeout(db_, ms);
    }
}

bool HistoryStore::exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        error = message != nullptr ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        return false;
    }
    return true;
}

// Sets the failure kind and an error that carries the system's reason when there is one.
bool HistoryStore::fail(const std::string& what, std::string& error) {
    const int code = sqlite3_extended_errcode(db_);
    last_failure_ = classify(code);
    error = what + ": " + sqlite3_errmsg(db_);
    const int sys = sqlite3_system_errno(db_);
    if ((code & 0xFF) == SQLITE_IOERR || (code & 0xFF) == SQLITE_CANTOPEN ||
        (code & 0xFF) == SQLITE_FULL) {
        if (sys != 0) {
            error += std::string(" (") + std::strerror(sys) + ")";
        }
    }
    return false;
}

bool HistoryStore::open(const std::string& path, Access access, std::string& error) {
    close();
    path_ = path;
    read_only_ = access == Access::ReadOnly;
    last_failure_ = HistoryFailure::None;
    if (!check_path(path, !read_only_, error)) {
        last_failure_ = HistoryFailure::ReadOnly;
        return false;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        sqlite3* db = nullptr;
        // A read-only folder cannot hold the journal or the shared-memory file of an older
        // write-ahead-log file: the second attempt reads the file as it is.
        const bool immutable = read_only_ && attempt == 1;
        const int flags = read_only_ ? SQLITE_OPEN_READONLY | (immutable ? SQLITE_OPEN_URI : 0)
                                     : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        const std::string name = immutable ? uri_of(path) : path;
        const int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
        if (rc != SQLITE_OK) {
            error = "cannot open history " + path + ": " +
                    (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
            sqlite3_close(db);
            return false;
        }
        db_ = db;
        // Before the first statement: two programs starting together on a new file wait
        // for each other instead of one failing at once.
        sqlite3_busy_timeout(db_, kDefaultBusyTimeoutMs);
        if (!read_only_ && sqlite3_db_readonly(db_, "main") == 1) {
            error = "history " + path + " cannot be written (read-only medium or file)";
            last_failure_ = HistoryFailure::ReadOnly;
            close();
            return false;
        }
        if (prepare_schema(error)) {
            return true;
        }
        const int code = sqlite3_extended_errcode(db_) & 0xFF;
        close();
        if (!read_only_ || (code != SQLITE_CANTOPEN && code != SQLITE_READONLY)) {
            error.insert(0, "cannot use history " + path + ": ");
            return false;
        }
    }
    error.insert(0, "cannot use history " + path + ": ");
    return false;
}

bool HistoryStore::prepare_schema(std::string& error) {
    if (read_only_) {
        Statement info(db_, "SELECT name FROM pragma_table_info('history');");
        if (!info.ok()) {
            return fail("cannot read the table", error);
        }
        bool found = false;
        has_format_ = false;
        int rc = 0;
        while ((rc = sqlite3_step(info.get())) == SQLITE_ROW) {
            found = true;
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 0));
            has_format_ = has_format_ || (name != nullptr && std::strcmp(name, "format") == 0);
        }
        if (rc != SQLITE_DONE) {
            return fail("cannot read the table", error);
        }
        if (!found) {
            error = "no history table";
            return false;
        }
        return true;
    }
    std::string why;
    if (!exec(kPageSize, why) || !exec(kJournalMode, why) || !exec(kSynchronous, why) ||
        !exec("BEGIN IMMEDIATE;", why)) {
        return fail("cannot set up", error);
    }
    bool ok = exec(
        "CREATE TABLE IF NOT EXISTS history ("
        " id INTEGER PRIMARY KEY,"
        " time NOT NULL,"
        " data_id INTEGER NOT NULL,"
        " record_type INTEGER NOT NULL,"
        " record BLOB NOT NULL,"
        " format INTEGER NOT NULL DEFAULT 0);",
        why);
    if (ok) {
        Statement info(db_,
                       "SELECT sum(name = 'format'), sum(name = 'time' AND type LIKE '%TEXT%')"
                       " FROM pragma_table_info('history');");
        ok = info.ok() && sqlite3_step(info.get()) == SQLITE_ROW;
        has_format_ = ok && sqlite3_column_int(info.get(), 0) == 1;
        time_text_ = ok && sqlite3_column_int(info.get(), 1) == 1;
    }
    // Files of the one-row-per-transaction days: their rows are raw records.
    if (ok && !has_format_) {
        ok = exec("ALTER TABLE history ADD COLUMN format INTEGER NOT NULL DEFAULT 0;", why);
        has_format_ = ok;
    }
    if (!ok || !exec("COMMIT;", why)) {
        fail("cannot set up the table", error);
        std::string ignored;
        exec("ROLLBACK;", ignored);
        return false;
    }
    return true;
}

bool HistoryStore::pragma_value(const char* sql, long long& value, std::string& error) {
    Statement s(db_, sql);
    if (!s.ok() || sqlite3_step(s.get()) != SQLITE_ROW) {
        return fail("cannot read the file's size", error);
    }
    value = sqlite3_column_int64(s.get(), 0);
    return true;
}

bool HistoryStore::usage(HistoryUsage& u, std::string& error) {
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    return pragma_value("PRAGMA page_size;", u.page_size, error) &&
           pragma_value("PRAGMA page_count;", u.page_count, error) &&
           pragma_value("PRAGMA freelist_count;", u.free_pages, error);
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
        const std::size_t row_bytes =
            (incoming_rows == 0 ? 0 : incoming_bytes / incoming_rows) + kRowOverhead;
        const auto needed = static_cast<long long>(
            static_cast<double>(incoming_bytes + incoming_rows * kRowOverhead) / payload_per_page +
            4);
        const long long limit = policy_.max_bytes / u.page_size;
        const long long over = u.page_count - u.free_pages + needed - limit;
        if (over > 0) {
            // Room for several commits at once, for the same reason as above.
            const long long room = over + static_cast<long long>(kPruneGroups - 1) * needed;
            const auto rows = std::min<std::size_t>(
                cap, static_cast<std::size_t>(static_cast<double>(room) * payload_per_page /
                                              static_cast<double>(row_bytes)) +
                         1);
            Statement nth(db_, "SELECT id FROM history ORDER BY id LIMIT 1 OFFSET ?;");
            if (!nth.ok() || !nth.bind(1, static_cast<long long>(rows - 1))) {
                return fail("cannot prune", error);
            }
            const int rc = sqlite3_step(nth.get());
            if (rc == SQLITE_ROW) {
                last = std::max(last, static_cast<long long>(sqlite3_column_int64(nth.get(), 0)));
            } else if (rc == SQLITE_DONE) {
                // Fewer rows than that: all of them go.
                Statement newest_id(db_, "SELECT max(id) FROM history;");
                if (newest_id.ok() && sqlite3_step(newest_id.get()) == SQLITE_ROW) {
                    last = std::max(
                        last, static_cast<long long>(sqlite3_column_int64(newest_id.get(), 0)));
                }
            } else {
                return fail("cannot prune", error);
            }
        }
    }
    if (last == 0) {
        return true;
    }
    // Rows that follow and patch a pruned row would no longer decode: they go with it.
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
    Statement del(db_, "DELETE FROM history WHERE id <= ?;");
    if (!del.ok() || !del.bind(1, last) || sqlite3_step(del.get()) != SQLITE_DONE) {
        return fail("cannot prune", error);
    }
    rows_pruned_ += sqlite3_changes(db_);
    return true;
}

bool HistoryStore::append_batch(const RoundToSave* rounds, std::size_t count, std::int64_t now_ms,
                                std::string& error) {
    last_failure_ = HistoryFailure::None;
    if (db_ == nullptr || read_only_) {
        error = db_ == nullptr ? "history not open" : "history opened for reading only";
        last_failure_ = HistoryFailure::Other;
        return false;
    }
    if (count == 0) {
        return true;
    }
    // Encoded first, so that the transaction holds the lock only for the writing.
    std::vector<std::vector<unsigned char>> blobs(count);
    std::vector<int> formats(count);
    std::map<std::pair<unsigned, int>, const RoundToSave*> previous;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const RoundToSave& r = rounds[i];
        const auto key = std::make_pair(r.data_id, r.record_type);
        const auto it = previous.find(key);
        if (it != previous.end() && it->second->size == r.size) {
            encode_patch(it->second->data, r.data, r.size, blobs[i]);
            formats[i] = static_cast<int>(RecordFormat::Delta);
        } else {
            const std::vector<unsigned char> zeros(r.size, 0);
            encode_patch(zeros.data(), r.data, r.size, blobs[i]);
            formats[i] = static_cast<int>(RecordFormat::Sparse);
            if (blobs[i].size() >= r.size) {
                blobs[i].assign(r.data, r.data + r.size);
                formats[i] = static_cast<int>(RecordFormat::Raw);
            }
        }
        previous[key] = &r;
        bytes += blobs[i].size();
    }
    std::string why;
    if (!exec("BEGIN IMMEDIATE;", why)) {
        return fail("cannot save rounds", error);
    }
    bool ok = prune(count, bytes, now_ms, error);
    if (ok) {
        Statement insert(db_,
                         "INSERT INTO history (time, data_id, record_type, record, format)"
                         " VALUES (?, ?, ?, ?, ?);");
        ok = insert.ok();
        for (std::size_t i = 0; ok && i < count; ++i) {
            const RoundToSave& r = rounds[i];
            sqlite3_stmt* s = insert.get();
            ok = sqlite3_reset(s) == SQLITE_OK &&
                 (time_text_ ? sqlite3_bind_text(s, 1, format_stored_time(r.unix_ms).c_str(), -1,
                                                 SQLITE_TRANSIENT)
                             : sqlite3_bind_int64(s, 1, r.unix_ms)) == SQLITE_OK &&
                 sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(r.data_id)) == SQLITE_OK &&
                 sqlite3_bind_int(s, 3, r.record_type) == SQLITE_OK &&
                 sqlite3_bind_blob(s, 4, blobs[i].data(), static_cast<int>(blobs[i].size()),
                                   SQLITE_STATIC) == SQLITE_OK &&
                 sqlite3_bind_int(s, 5, formats[i]) == SQLITE_OK && sqlite3_step(s) == SQLITE_DONE;
        }
        if (!ok) {
            fail("cannot save rounds", error);
        }
    }
    if (ok && !exec("COMMIT;", why)) {
        ok = false;
        fail("cannot save rounds", error);
    }
    if (!ok) {
        std::string ignored;
        exec("ROLLBACK;", ignored);
        return false;
    }
    rows_written_ += static_cast<long long>(count);
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

// Decodes the series' row just before `before_id`, from the last row that needs no base.
bool HistoryStore::decode_chain(unsigned data_id, int record_type, long long before_id,
                                std::vector<unsigned char>& record, long long& base_id,
                                std::string& error) {
    long long key_id = 0;
    {
        Statement key(db_, has_format_
                               ? "SELECT id FROM history WHERE id < ? AND data_id = ? AND"
                                 " record_type = ? AND format != 2 ORDER BY id DESC LIMIT 1;"
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
    Statement rows(db_, has_format_
                            ? "SELECT id, time, data_id, record_type, format, record FROM history"
                              " WHERE id >= ? AND id < ? AND data_id = ? AND record_type = ?"
                              " ORDER BY id;"
                            : "SELECT id, time, data_id, record_type, 0, record FROM history"
                              " WHERE id >= ? AND id < ? AND data_id = ? AND record_type = ?"
                              " ORDER BY id;");
    if (!rows.ok() || !rows.bind(1, key_id) || !rows.bind(2, before_id) || !rows.bind(3, data_id) ||
        !rows.bind(4, record_type)) {
        return fail("cannot read history", error);
    }
    bool have = false;
    int rc = 0;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        const RowView v = row_view(rows.get());
        have = decode_row(v, have ? &record : nullptr, record);
        base_id = v.id;
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
    Statement rows(db_, has_format_
                            ? "SELECT id, time, data_id, record_type, format, record FROM history"
                              " WHERE data_id = ? AND record_type = ? ORDER BY id DESC LIMIT ?;"
                            : "SELECT id, time, data_id, record_type, 0, record FROM history"
                              " WHERE data_id = ? AND record_type = ? ORDER BY id DESC LIMIT ?;");
    if (!rows.ok() || !rows.bind(1, data_id) || !rows.bind(2, record_type) ||
        !rows.bind(3, kNewestWalk)) {
        return fail("cannot read history", error);
    }
    int rc = 0;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        const RowView v = row_view(rows.get());
        std::vector<unsigned char> base;
        const std::vector<unsigned char>* base_ptr = nullptr;
        if (v.format == static_cast<int>(RecordFormat::Delta)) {
            long long base_id = 0;
            std::string why;
            if (decode_chain(data_id, record_type, v.id, base, base_id, why)) {
                base_ptr = &base;
            } else if (!why.empty()) {
                error = why;
                return false;
            }
        }
        std::vector<unsigned char> record;
        if (decode_row(v, base_ptr, record) && (size == 0 || record.size() == size) && v.timed) {
            round.id = v.id;
            round.unix_ms = v.time;
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

bool HistoryStore::newest(unsigned data_id, int record_type, HistoryRow& row, std::string& error) {
    StoredRound round;
    if (!newest_round(data_id, record_type, 0, round, error)) {
        return false;
    }
    row.id = round.id;
    row.time = format_stored_time(round.unix_ms);
    row.record = std::move(round.record);
    return true;
}

// The first row whose time is at or after `from_ms`, by halving the id range: ids rise
// with time, and the file keeps no index on time that every commit would have to write.
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

struct HistoryStore::Series {
    long long last_id = 0;
    bool valid = false;
    std::vector<unsigned char> record;
};

bool HistoryStore::read_rounds(const RoundQuery& query, const RoundVisitor& visit,
                               std::string& error) {
    error.clear();
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    long long start = 0;
    if (query.from_ms != std::numeric_limits<std::int64_t>::min() &&
        !first_id_at_or_after(query.from_ms, start, error)) {
        return false;
    }
    Statement rows(db_, has_format_
                            ? "SELECT id, time, data_id, record_type, format, record FROM history"
                              " WHERE id >= ? ORDER BY id;"
                            : "SELECT id, time, data_id, record_type, 0, record FROM history"
                              " WHERE id >= ? ORDER BY id;");
    if (!rows.ok() || !rows.bind(1, start)) {
        return fail("cannot read history", error);
    }
    std::map<std::pair<unsigned, int>, Series> series;
    StoredRound round;
    int rc = 0;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        const RowView v = row_view(rows.get());
        const std::int64_t t = v.time;
        const bool timed = v.timed;
        if (timed && t > query.to_ms) {
            return true;
        }
        if (!query.any_data_id && v.data_id != query.data_id) {
            continue;
        }
        Series& s = series[std::make_pair(v.data_id, v.record_type)];
        const bool delta = v.format == static_cast<int>(RecordFormat::Delta);
        if (delta && (!s.valid || s.last_id == 0)) {
            // The first row of this series in the walk: its base lies before the start.
            long long base_id = 0;
            std::string why;
            s.valid = decode_chain(v.data_id, v.record_type, v.id, s.record, base_id, why);
            if (!why.empty()) {
                error = why;
                return false;
            }
        }
        s.valid = decode_row(v, delta && s.valid ? &s.record : nullptr, s.record);
        s.last_id = v.id;
        if (!s.valid || !timed) {
            ++rows_skipped_;
            s.valid = false;
            continue;
        }
        if (t < query.from_ms) {
            continue;
        }
        round.id = v.id;
        round.unix_ms = t;
        round.data_id = v.data_id;
        round.record_type = v.record_type;
        round.record = s.record;
        if (!visit(round)) {
            return true;
        }
    }
    if (rc != SQLITE_DONE) {
        return fail("cannot read history", error);
    }
    return true;
}

}  // namespace kv830host
