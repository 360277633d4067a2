#include "history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "history_sql.h"

namespace kv830host {

namespace {

// A commit of blocks changes few pages beyond its rows: the parents in two b-trees, the
// first page, the free list. A rollback journal writes each of those twice a commit (old
// contents to the journal, new to the file), in units of the medium's 4 KiB pages; the
// write-ahead log appends them once, side by side, and a checkpoint every thousand pages
// writes each page changed since once for many commits. Measured at one round a second on
// a full file (bench/history_bench.cpp): 1.3 times the record bytes with the journal, 0.6
// with the log. Readers (trends, export) then also never hold a commit back.
constexpr const char* kJournalMode = "PRAGMA journal_mode=WAL;";
// Small pages keep a commit's pages small: 1 KiB each instead of 4 KiB, and a block's row
// fills its overflow pages. Takes effect only on a new file.
constexpr const char* kPageSize = "PRAGMA page_size=1024;";
// A commit is on the medium when it returns, so a power cut loses only what waits.
constexpr const char* kSynchronous = "PRAGMA synchronous=FULL;";
// A connection keeps at most this much of the file in its own memory (the default is
// 2 MiB each): a commit touches a few pages, a trend reads the summaries once, and the
// kernel's page cache holds the rest for every connection alike. Keeps a small gateway's
// resident memory within its budget.
constexpr const char* kCacheSize = "PRAGMA cache_size=-256;";
// How long, and how far apart, the set-up of a file is tried again when another program's
// set-up of the same file answers "locked" at once. A lock that is held waits the busy
// timeout on the first attempt, longer than this window, so it is not waited for twice.
constexpr auto kSetUpWindow = std::chrono::seconds(1);
constexpr auto kSetUpPause = std::chrono::milliseconds(50);
// The file format this version writes (blocks and summaries, 2; the alarm journal, 3);
// files from before carry 0.
constexpr int kFileFormat = 3;

// The marks came after the file format: created in files of any version that are written.
constexpr const char* kMarksTable =
    "CREATE TABLE IF NOT EXISTS delivery_mark ("
    " consumer TEXT NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " time INTEGER NOT NULL,"
    " pruned INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY (consumer, data_id)) WITHOUT ROWID;";

constexpr const char* kTables =
    "CREATE TABLE IF NOT EXISTS history ("
    " id INTEGER PRIMARY KEY,"
    " time NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " record_type INTEGER NOT NULL,"
    " record BLOB NOT NULL,"
    " format INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS history_summary ("
    " id INTEGER PRIMARY KEY,"
    " data_id INTEGER NOT NULL,"
    " record_type INTEGER NOT NULL,"
    " time_from INTEGER NOT NULL,"
    " time_to INTEGER NOT NULL,"
    " rounds INTEGER NOT NULL,"
    " summary BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS history_bin ("
    " id INTEGER PRIMARY KEY,"
    " first_id INTEGER NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " record_type INTEGER NOT NULL,"
    " time_from INTEGER NOT NULL,"
    " time_to INTEGER NOT NULL,"
    " rounds INTEGER NOT NULL,"
    " summary BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS alarm_event ("
    " id INTEGER PRIMARY KEY,"
    " time INTEGER NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " signal TEXT NOT NULL,"
    " priority TEXT NOT NULL,"
    " state TEXT NOT NULL,"
    " by TEXT NOT NULL,"
    " changes INTEGER NOT NULL DEFAULT 0);"
    "PRAGMA user_version=3;";

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

HistoryStore::HistoryStore() = default;

HistoryStore::~HistoryStore() {
    close();
}

void HistoryStore::close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    bins_.clear();
    has_marks_ = -1;
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
            // Only now: the pragma reads the schema, and before the set-up above that read
            // could hold back a second program creating the same file.
            std::string ignored;  // a connection without the bound still works, only bigger
            exec(kCacheSize, ignored);
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

// Which columns and tables the file has: files of earlier versions lack some.
bool HistoryStore::read_columns(std::string& error) {
    Statement info(db_,
                   "SELECT count(*), sum(name = 'format'), sum(name = 'time' AND type LIKE "
                   "'%TEXT%'), (SELECT count(*) FROM sqlite_master WHERE name = 'history_bin')"
                   " FROM pragma_table_info('history');");
    if (!info.ok() || sqlite3_step(info.get()) != SQLITE_ROW) {
        return fail("cannot read the table", error);
    }
    if (sqlite3_column_int(info.get(), 0) == 0) {
        error = "no history table";
        return false;
    }
    has_format_ = sqlite3_column_int(info.get(), 1) == 1;
    time_text_ = sqlite3_column_int(info.get(), 2) == 1;
    has_summaries_ = sqlite3_column_int(info.get(), 3) == 1;
    return true;
}

bool HistoryStore::prepare_schema(std::string& error) {
    if (read_only_) {
        return read_columns(error);
    }
    std::string why;
    // Two programs creating one new file meet here: while one turns it into a write-ahead
    // log, SQLite may answer the other "locked" at once, without waiting as it does for a
    // held transaction. Such a meeting lasts milliseconds, so it is tried again briefly.
    const auto started = std::chrono::steady_clock::now();
    for (;;) {
        if (exec(kPageSize, why) && exec(kJournalMode, why) && exec(kSynchronous, why) &&
            exec("BEGIN IMMEDIATE;", why)) {
            break;
        }
        const int code = sqlite3_errcode(db_) & 0xFF;
        if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) ||
            std::chrono::steady_clock::now() - started >= kSetUpWindow) {
            return fail("cannot set up", error);
        }
        std::this_thread::sleep_for(kSetUpPause);
    }
    long long format = 0;
    bool ok = pragma_value("PRAGMA user_version;", format, error) &&
              (format >= kFileFormat || exec(kTables, why)) && exec(kMarksTable, why) &&
              read_columns(error);
    has_marks_ = ok ? 1 : -1;
    // Files of the one-row-per-transaction days: their rows are raw records.
    if (ok && !has_format_) {
        ok = exec("ALTER TABLE history ADD COLUMN format INTEGER NOT NULL DEFAULT 0;", why);
        has_format_ = ok;
    }
    if (!ok || !exec("COMMIT;", why)) {
        fail("cannot set up the tables", error);
        std::string ignored;
        exec("ROLLBACK;", ignored);
        return false;
    }
    return true;
}

bool HistoryStore::pragma_value(const char* sql, long long& value, std::string& error) {
    Statement s(db_, sql);
    if (!s.ok() || sqlite3_step(s.get()) != SQLITE_ROW) {
        return fail("cannot read the file's settings", error);
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

HistoryStore::ReadSnapshot::ReadSnapshot(HistoryStore& store) : store_(store) {
    std::string ignored;
    begun_ = store_.db_ != nullptr && store_.exec("BEGIN;", ignored);
}

HistoryStore::ReadSnapshot::~ReadSnapshot() {
    if (begun_) {
        std::string ignored;
        store_.exec("COMMIT;", ignored);
    }
}

}  // namespace kv830host
