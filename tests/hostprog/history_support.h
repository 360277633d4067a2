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

inline std::string sql_text(const std::string& db_file, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open_v2(db_file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0) != nullptr) {
            out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        }
        sqlite3_finalize(s);
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
