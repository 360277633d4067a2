// What the history store's files share inside the library: statements that finalise
// themselves, and a row of the history table as SQLite hands it over.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv830host {

// The `format` column of a row of the history table.
enum class RecordFormat : int {
    Raw = 0,     // the record's bytes as they are (rows of older files)
    Sparse = 1,  // a patch against a record of zeros of the same size (older files)
    Delta = 2,   // a patch against the previous row of the series (older files)
    Block = 3,   // the rounds of one device that one commit saves (history_block.h)
};

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
    bool rebind(int i, long long v) {
        return sqlite3_reset(s_) == SQLITE_OK && sqlite3_bind_int64(s_, i, v) == SQLITE_OK;
    }

  private:
    sqlite3_stmt* s_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

// "SELECT id, time, data_id, record_type, format, record FROM history " and `rest`: the
// columns row_view() reads, with format 0 for files from before the format column.
std::string select_rows(bool has_format, const char* rest);

struct RowView {
    long long id;
    bool timed;  // the time column holds a time
    std::int64_t time;
    unsigned data_id;
    int record_type;
    int format;
    const unsigned char* blob;
    std::size_t size;
};

// A row of a statement made by select_rows().
RowView row_view(sqlite3_stmt* s);

// The time of column `column`: milliseconds since 1970, or the UTC text of older files.
bool column_time(sqlite3_stmt* s, int column, std::int64_t& unix_ms);

// Decodes a row of a format that holds one round, given the decoded previous row of its
// series (nullptr: none known); `out` may be that base.
bool decode_single(const RowView& v, const std::vector<unsigned char>* base,
                   std::vector<unsigned char>& out);

}  // namespace kv830host
