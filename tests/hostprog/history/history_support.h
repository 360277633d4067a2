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
