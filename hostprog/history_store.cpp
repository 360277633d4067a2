#include "history_store.h"

#include <sqlite3.h>

#include <ctime>
#include <limits>

namespace kv830host {

namespace {

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) {
        return "";
    }
    return text;
}

// Finalises a statement on every way out of a function.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return rc_ == SQLITE_OK && s_ != nullptr; }
    sqlite3_stmt* get() const { return s_; }

  private:
    sqlite3_stmt* s_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

}  // namespace

HistoryStore::~HistoryStore() {
    if (db_ != nullptr) {
        sqlite3_close(db_);
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

bool HistoryStore::open(const std::string& path, std::string& error) {
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        error = "cannot open history " + path + ": " +
                (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return false;
    }
    db_ = db;
    // Another reader (a second host, the sqlite3 shell) may hold the file for a moment.
    sqlite3_busy_timeout(db_, 2000);
    std::string why;
    // WAL keeps a torn write out of the database file; FULL syncs each commit, so a
    // round that was reported saved survives a power cut too.
    if (!exec("PRAGMA journal_mode=WAL;", why) || !exec("PRAGMA synchronous=FULL;", why) ||
        !exec("CREATE TABLE IF NOT EXISTS history ("
              " id INTEGER PRIMARY KEY AUTOINCREMENT,"
              " time TEXT NOT NULL,"
              " data_id INTEGER NOT NULL,"
              " record_type INTEGER NOT NULL,"
              " record BLOB NOT NULL);"
              "CREATE INDEX IF NOT EXISTS history_device"
              " ON history (data_id, record_type, id);",
              why)) {
        error = "cannot use history " + path + ": " + why;
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    return true;
}

bool HistoryStore::append(unsigned data_id, int record_type, const unsigned char* data,
                          unsigned size, std::string& error) {
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    if (!exec("BEGIN IMMEDIATE;", error)) {
        return false;
    }
    bool done = false;
    {
        Statement insert(db_,
                         "INSERT INTO history (time, data_id, record_type, record)"
                         " VALUES (?, ?, ?, ?);");
        const std::string now = utc_now();
        done =
            insert.ok() &&
            sqlite3_bind_text(insert.get(), 1, now.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
            sqlite3_bind_int64(insert.get(), 2, static_cast<sqlite3_int64>(data_id)) == SQLITE_OK &&
            sqlite3_bind_int(insert.get(), 3, record_type) == SQLITE_OK &&
            sqlite3_bind_blob(insert.get(), 4, data, static_cast<int>(size), SQLITE_TRANSIENT) ==
                SQLITE_OK &&
            sqlite3_step(insert.get()) == SQLITE_DONE;
        if (!done) {
            error = sqlite3_errmsg(db_);
        }
    }
    if (!done) {
        std::string ignored;
        exec("ROLLBACK;", ignored);
        return false;
    }
    if (!exec("COMMIT;", error)) {
        std::string ignored;
        exec("ROLLBACK;", ignored);
        return false;
    }
    ++rows_written_;
    return true;
}

bool HistoryStore::newest(unsigned data_id, int record_type, HistoryRow& row, std::string& error) {
    return newest_before(data_id, record_type, std::numeric_limits<long long>::max(), row, error);
}

bool HistoryStore::newest_before(unsigned data_id, int record_type, long long before_id,
                                 HistoryRow& row, std::string& error) {
    if (db_ == nullptr) {
        error = "history not open";
        return false;
    }
    Statement select(db_,
                     "SELECT id, time, record FROM history"
                     " WHERE data_id = ? AND record_type = ? AND id < ?"
                     " ORDER BY id DESC LIMIT 1;");
    if (!select.ok() ||
        sqlite3_bind_int64(select.get(), 1, static_cast<sqlite3_int64>(data_id)) != SQLITE_OK ||
        sqlite3_bind_int(select.get(), 2, record_type) != SQLITE_OK ||
        sqlite3_bind_int64(select.get(), 3, static_cast<sqlite3_int64>(before_id)) != SQLITE_OK) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_DONE) {
        error.clear();
        return false;
    }
    if (rc != SQLITE_ROW) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    row.id = sqlite3_column_int64(select.get(), 0);
    const unsigned char* time = sqlite3_column_text(select.get(), 1);
    row.time = time != nullptr ? reinterpret_cast<const char*>(time) : "";
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(select.get(), 2));
    const int size = sqlite3_column_bytes(select.get(), 2);
    row.record.clear();
    if (blob != nullptr && size > 0) {
        row.record.assign(blob, blob + size);
    }
    return true;
}

}  // namespace kv830host
