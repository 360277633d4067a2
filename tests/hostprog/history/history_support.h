// What the history tests share: a scratch folder, rounds from the plant model, and a
// plain look into the file with SQLite itself.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "history_records.h"
#include "history_store.h"
#include "process.h"
#include "time_text.h"

namespace historytest {

// The scratch folder of every test that runs the real programs.
using testproc::TempDir;

// The first column of the first row, or why there is none (so that a failed
// expectation tells it). Read-only unless asked: a read-only connection cannot recover
// the write-ahead log a killed writer left.
inline std::string sql_text(const std::string& db_file, const std::string& sql,
                            bool read_write = false) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open_v2(db_file.c_str(), &db,
                        read_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY,
                        nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(s);
        }
        if (rc == SQLITE_ROW && sqlite3_column_text(s, 0) != nullptr) {
            out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        } else if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            out = std::string("sqlite error: ") + sqlite3_errmsg(db);
        }
        sqlite3_finalize(s);
    } else {
        out = std::string("cannot open: ") + sqlite3_errmsg(db);
    }
    sqlite3_close(db);
    return out;
}

// A file as the previous version wrote it: one round a row, a commit's first row a patch
// against zeros (format 1) and the next ones against the row before (format 2), or raw
// records (format 0) with times as UTC text, as the first versions stored them.
class OldFile {
  public:
    OldFile(const std::string& path, bool text_time) : text_time_(text_time) {
        sqlite3_open(path.c_str(), &db_);
        sqlite3_exec(db_,
                     text_time ? "CREATE TABLE history (id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
                                 " data_id INTEGER NOT NULL, record_type INTEGER NOT NULL,"
                                 " record BLOB NOT NULL);"
                               : "CREATE TABLE history (id INTEGER PRIMARY KEY, time NOT NULL,"
                                 " data_id INTEGER NOT NULL, record_type INTEGER NOT NULL,"
                                 " record BLOB NOT NULL, format INTEGER NOT NULL DEFAULT 0);",
                     nullptr, nullptr, nullptr);
    }
    ~OldFile() { sqlite3_close(db_); }
    OldFile(const OldFile&) = delete;
    OldFile& operator=(const OldFile&) = delete;

    // One commit of rounds `step_ms` apart from `t0`.
    void commit(unsigned data_id, std::int64_t t0, std::int64_t step_ms,
                const std::vector<std::vector<unsigned char>>& records) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_,
                           text_time_ ? "INSERT INTO history (time, data_id, record_type, record)"
                                        " VALUES (?, ?, 5156, ?);"
                                      : "INSERT INTO history (time, data_id, record_type, record,"
                                        " format) VALUES (?, ?, 5156, ?, ?);",
                           -1, &s, nullptr);
        for (std::size_t i = 0; i < records.size(); ++i) {
            const std::int64_t t = t0 + static_cast<std::int64_t>(i) * step_ms;
            const std::vector<unsigned char> blob =
                text_time_ ? records[i] : patch(i == 0 ? nullptr : &records[i - 1], records[i]);
            sqlite3_reset(s);
            if (text_time_) {
                sqlite3_bind_text(s, 1, kv830host::format_time_utc(t).c_str(), -1,
                                  SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_int64(s, 1, t);
                sqlite3_bind_int(s, 4, i == 0 ? 1 : 2);
            }
            sqlite3_bind_int64(s, 2, data_id);
            sqlite3_bind_blob(s, 3, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
            sqlite3_step(s);
        }
        sqlite3_finalize(s);
    }

    // A patch of the previous version's form as one run, from the first to the last byte
    // that differs from the base (zeros without one).
    static std::vector<unsigned char> patch(const std::vector<unsigned char>* base,
                                            const std::vector<unsigned char>& record) {
        std::vector<unsigned char> out;
        const auto varint = [&](std::size_t v) {
            for (; v >= 0x80; v >>= 7) {
                out.push_back(static_cast<unsigned char>(v | 0x80));
            }
            out.push_back(static_cast<unsigned char>(v));
        };
        const auto differs = [&](std::size_t i) {
            return (base != nullptr ? (*base)[i] : 0) != record[i];
        };
        std::size_t first = 0;
        std::size_t last = record.size();
        while (first < last && !differs(first)) {
            ++first;
        }
        while (last > first && !differs(last - 1)) {
            --last;
        }
        varint(record.size());
        if (first < last) {
            varint(first);
            varint(last - first);
            out.insert(out.end(), record.begin() + static_cast<std::ptrdiff_t>(first),
                       record.begin() + static_cast<std::ptrdiff_t>(last));
        }
        return out;
    }

  private:
    sqlite3* db_ = nullptr;
    bool text_time_;
};

inline std::vector<kv830host::StoredRound> all_rounds(kv830host::HistoryStore& store,
                                                      kv830host::RoundQuery query = {}) {
    std::vector<kv830host::StoredRound> rounds;
    std::string error;
    store.read_rounds(
        query,
        [&](const kv830host::StoredRound& r) {
            rounds.push_back(r);
            return true;
        },
        error);
    return rounds;
}

}  // namespace historytest
