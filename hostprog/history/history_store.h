// The device history: one SQLite row per completed round.
//
// Table "history": id (rising), time (milliseconds since 1970 when the round completed;
// UTC text in files from before), data_id, record_type, record, format. `record` holds the round in
// the form `format` names (history_codec.h): files written before the format column existed hold
// raw records and stay readable.
//
// Rows are written in grouped commits (append_batch): one transaction per group on a
// rollback journal, synced at commit, so a crash or a power cut leaves whole groups or
// none. The same transactions prune the oldest rows by age and by size, a bounded number
// at a time; the freed pages are reused, so a full file stops growing without a VACUUM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kv830host {

struct HistoryRow {
    long long id = 0;
    std::string time;
    std::vector<unsigned char> record;
};

// One round as read back, decoded.
struct StoredRound {
    long long id = 0;
    std::int64_t unix_ms = 0;
    unsigned data_id = 0;
    int record_type = 0;
    std::vector<unsigned char> record;
};

// One round to be saved; the bytes stay the caller's.
struct RoundToSave {
    unsigned data_id = 0;
    int record_type = 0;
    std::int64_t unix_ms = 0;
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};

struct HistoryPolicy {
    std::int64_t keep_ms = 0;        // rows older than this are pruned; 0 keeps them
    std::int64_t max_bytes = 0;      // the file is held below this size; 0 lets it grow
    std::size_t prune_batch = 4096;  // rows at most pruned by one commit (more when it
                                     // writes more)
};

// Why the last write failed, for the status line and for retrying.
enum class HistoryFailure {
    None,
    Busy,      // another program holds the file: try again later
    Full,      // no space left: try again later
    ReadOnly,  // the file or its medium cannot be written
    Io,        // the system refused a read or write
    Other,
};

const char* history_failure_name(HistoryFailure failure);

struct RoundQuery {
    bool any_data_id = true;
    unsigned data_id = 0;
    std::int64_t from_ms = std::numeric_limits<std::int64_t>::min();
    std::int64_t to_ms = std::numeric_limits<std::int64_t>::max();
};

// Returns false to stop the walk.
using RoundVisitor = std::function<bool(const StoredRound&)>;

struct HistoryUsage {
    long long page_size = 0;
    long long page_count = 0;
    long long free_pages = 0;
    long long file_bytes() const { return page_size * page_count; }
};

class HistoryStore {
  public:
    enum class Access { ReadWrite, ReadOnly };

    // How long a statement waits for another program's lock before giving up.
    static constexpr int kDefaultBusyTimeoutMs = 2000;

    HistoryStore() = default;
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // ReadWrite creates the file and its table when missing and refuses, before any
    // round is polled, a folder that does not exist or a file or folder that cannot be
    // written, naming it and the system's reason. ReadOnly only reads an existing file.
    bool open(const std::string& path, std::string& error) {
        return open(path, Access::ReadWrite, error);
    }
    bool open(const std::string& path, Access access, std::string& error);
    void close();
    bool is_open() const { return db_ != nullptr; }
    bool read_only() const { return read_only_; }
    const std::string& path() const { return path_; }

    // Applies to the statements after the call; open() sets the default before its first.
    void set_busy_timeout_ms(int ms);
    void set_policy(const HistoryPolicy& policy) { policy_ = policy; }
    const HistoryPolicy& policy() const { return policy_; }

    // Saves the rounds in one transaction, pruning as the policy says. On failure nothing
    // is saved and last_failure() says why; the rounds stay the caller's to retry.
    bool append_batch(const RoundToSave* rounds, std::size_t count, std::int64_t now_ms,
                      std::string& error);
    // One round completed now, in a transaction of its own.
    bool append(unsigned data_id, int record_type, const unsigned char* data, unsigned size,
                std::string& error);
    HistoryFailure last_failure() const { return last_failure_; }

    // The newest row of this device and record type that decodes; false when there is
    // none (error empty) or the file cannot be read (error set).
    bool newest(unsigned data_id, int record_type, HistoryRow& row, std::string& error);
    // The same, skipping rows whose record is not `size` bytes (0: any size).
    bool newest_round(unsigned data_id, int record_type, std::size_t size, StoredRound& round,
                      std::string& error);

    // Visits the rounds of the query in id order, which is time order while the clock
    // does not step back. Rows that do not decode are skipped and counted.
    bool read_rounds(const RoundQuery& query, const RoundVisitor& visit, std::string& error);
    unsigned long long rows_skipped() const { return rows_skipped_; }

    bool usage(HistoryUsage& usage, std::string& error);

    long long rows_written() const { return rows_written_; }
    long long rows_pruned() const { return rows_pruned_; }

  private:
    struct Series;

    bool exec(const char* sql, std::string& error);
    bool fail(const std::string& what, std::string& error);
    bool prepare_schema(std::string& error);
    bool prune(std::size_t incoming_rows, std::size_t incoming_bytes, std::int64_t now_ms,
               std::string& error);
    bool pragma_value(const char* sql, long long& value, std::string& error);
    bool first_id_at_or_after(std::int64_t from_ms, long long& id, std::string& error);
    bool decode_chain(unsigned data_id, int record_type, long long before_id,
                      std::vector<unsigned char>& record, long long& base_id, std::string& error);

    sqlite3* db_ = nullptr;
    std::string path_;
    bool read_only_ = false;
    bool has_format_ = true;
    bool time_text_ = false;  // the file's time column converts numbers to text
    HistoryPolicy policy_;
    HistoryFailure last_failure_ = HistoryFailure::None;
    long long rows_written_ = 0;
    long long rows_pruned_ = 0;
    unsigned long long rows_skipped_ = 0;
};

}  // namespace kv830host
