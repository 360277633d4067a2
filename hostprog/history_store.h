// The device history: one SQLite row per completed round.
//
// Table "history": id (rising), time (UTC, ISO 8601, when the row was written), data_id,
// record_type, record (the record's bytes as a BLOB). Each row is written in its own
// transaction on a write-ahead log, so a crash or a kill leaves whole rows or none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace kv830host {

struct HistoryRow {
    long long id = 0;
    std::string time;
    std::vector<unsigned char> record;
};

class HistoryStore {
  public:
    HistoryStore() = default;
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Opens (creating when missing) the file and its table.
    bool open(const std::string& path, std::string& error);
    bool is_open() const { return db_ != nullptr; }

    bool append(unsigned data_id, int record_type, const unsigned char* data, unsigned size,
                std::string& error);

    // The newest row of this device and record type; false when there is none.
    bool newest(unsigned data_id, int record_type, HistoryRow& row, std::string& error);
    // The newest such row older than row `before_id`, for when a newer one is unusable.
    bool newest_before(unsigned data_id, int record_type, long long before_id, HistoryRow& row,
                       std::string& error);

    long long rows_written() const { return rows_written_; }

  private:
    bool exec(const char* sql, std::string& error);

    sqlite3* db_ = nullptr;
    long long rows_written_ = 0;
};

}  // namespace kv830host
