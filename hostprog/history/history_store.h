// The device history: an SQLite file (docs/history.md describes it for people).
//
// Table "history": id (rising), time (milliseconds since 1970 of the row's first round;
// UTC text in files from before), data_id, record_type, record, format. Rows written now
// are blocks (format 3, history_block.h): the rounds of one device that one commit saves.
// Files of earlier versions hold a round a row (formats 0 to 2, history_codec.h); they are
// read as they are and take blocks after their rows, and their rows age out as any do.
//
// Table "history_summary": one row per block, with the block's id: its first and last
// round's time, its rounds and their summary (history_summary.h). Table "history_bin": the
// summaries of a device's blocks merged per five-minute bin, keyed by the bin's last block,
// with its first in first_id. Trends read these instead of the rounds.
//
// Table "delivery_mark": for each consumer that sends the rounds on (MQTT, per broker) and
// device, the time up to which every round was delivered, and the rounds after it that
// pruning removed before they were (history_marks.cpp). Written with the grouped commits.
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
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "alarm_machine.h"
#include "history_block.h"
#include "history_compress.h"

struct sqlite3;

namespace kv830host {

// One round as read back, decoded. Rounds of one block share its row id.
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

// A consumer's delivery mark for one device, as the file keeps it.
struct MarkRow {
    std::string consumer;
    unsigned data_id = 0;
    std::int64_t unix_ms = 0;       // every round up to this time delivered
    unsigned long long pruned = 0;  // rounds after it pruned before delivery
};

struct HistoryPolicy {
    std::int64_t keep_ms = 0;        // rows older than this are pruned; 0 keeps them
    std::int64_t max_bytes = 0;      // the file is held below this size; 0 lets it grow
    std::size_t prune_batch = 1024;  // rows at most pruned by one commit (more when it
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

// A row of history_summary (first_id == id) or of history_bin.
struct SummaryRow {
    long long id = 0;
    long long first_id = 0;
    unsigned data_id = 0;
    int record_type = 0;
    std::int64_t time_from = 0;
    std::int64_t time_to = 0;
    const unsigned char* blob = nullptr;  // the stored summary, valid during the visit
    std::size_t size = 0;
};
enum class SummaryLevel { Block, Bin };
// What a summary visitor returns: go on, stop, or any other value: the id to go on from.
constexpr long long kWalkOn = 0;
constexpr long long kWalkStop = -1;
using SummaryVisitor = std::function<long long(const SummaryRow&)>;

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

    HistoryStore();
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // ReadWrite creates the file and its tables when missing and refuses, before any
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
    // The same with the consumers' delivery marks written in the same transaction (before
    // the pruning, which counts what it removes after them); with no rounds, the marks
    // alone.
    bool append_batch(const RoundToSave* rounds, std::size_t count,
                      const std::vector<MarkRow>& marks, std::int64_t now_ms, std::string& error);
    // A consumer's mark for a device; false with `error` when the file cannot be read, true
    // with `found` false when it has none.
    bool read_mark(const std::string& consumer, unsigned data_id, MarkRow& out, bool& found,
                   std::string& error);
    // One round completed now, in a transaction of its own.
    bool append(unsigned data_id, int record_type, const unsigned char* data, unsigned size,
                std::string& error);
    HistoryFailure last_failure() const { return last_failure_; }

    // The newest round of this device and record type that decodes and is `size` bytes
    // (0: any size); false when there is none (error empty) or the file cannot be read
    // (error set).
    bool newest_round(unsigned data_id, int record_type, std::size_t size, StoredRound& round,
                      std::string& error);

    // Visits the rounds of the query in time order (id order, which is time order while
    // the clock does not step back). Rows that do not decode are skipped and counted.
    bool read_rounds(const RoundQuery& query, const RoundVisitor& visit, std::string& error);
    // The same over the rows with ids from `from_id` to before `end_id`, without looking
    // for the query's start.
    bool read_rows(long long from_id, long long end_id, const RoundQuery& query,
                   const RoundVisitor& visit, std::string& error);
    unsigned long long rows_skipped() const { return rows_skipped_; }

    // The first row whose time is at or after `from_ms` (one past the newest when none).
    bool first_id_at_or_after(std::int64_t from_ms, long long& id, std::string& error);
    // Visits the summaries of a level from `from_id` on, in id order.
    bool read_summaries(SummaryLevel level, long long from_id, const SummaryVisitor& visit,
                        std::string& error);
    // The block of row `id`; false when the row is not a block that decodes (error set
    // only when the file cannot be read).
    bool read_block(long long id, BlockView& block, std::string& error);

    // Several reads that see the file as it was when the first began: a commit waits
    // until the snapshot ends (on a rollback journal readers hold the file shared).
    class ReadSnapshot {
      public:
        explicit ReadSnapshot(HistoryStore& store);
        ~ReadSnapshot();
        ReadSnapshot(const ReadSnapshot&) = delete;
        ReadSnapshot& operator=(const ReadSnapshot&) = delete;

      private:
        HistoryStore& store_;
        bool begun_ = false;
    };

    bool usage(HistoryUsage& usage, std::string& error);

    // The alarm journal (table "alarm_event", history_alarms.cpp): events saved in one
    // transaction that also prunes those older than the policy keeps and beyond
    // kMaxAlarmEvents. False with last_failure() set; the events stay the caller's.
    bool append_alarm_events(const std::vector<AlarmEvent>& events, std::int64_t now_ms,
                             std::string& error);
    // Events of the query oldest first, or the latest `latest` of them (0: all). A file from
    // before the journal has none.
    bool read_alarm_events(const RoundQuery& query, std::size_t latest,
                           const std::function<bool(const AlarmEvent&)>& visit, std::string& error);

    long long rows_written() const { return rows_written_; }
    long long rows_pruned() const { return rows_pruned_; }

  private:
    struct NewBlock;
    struct BinState {
        bool loaded = false;
        bool any = false;  // the device has a block
        std::int64_t bin = 0;
        long long first_id = 0;
        long long last_id = 0;
    };
    using SeriesKey = std::pair<unsigned, int>;

    bool exec(const char* sql, std::string& error);
    bool fail(const std::string& what, std::string& error);
    bool prepare_schema(std::string& error);
    bool read_columns(std::string& error);
    bool prune(std::size_t incoming_rows, std::size_t incoming_bytes, std::int64_t now_ms,
               std::string& error);
    bool prune_through(long long last, std::string& error);
    bool write_marks(const std::vector<MarkRow>& marks, std::string& error);
    bool count_pruned_marks(long long last, std::string& error);
    bool has_marks_table(std::string& error);
    bool pragma_value(const char* sql, long long& value, std::string& error);
    std::size_t pack_blocks(const RoundToSave* rounds, std::size_t count,
                            std::vector<NewBlock>& blocks);
    bool insert_blocks(std::vector<NewBlock>& blocks, std::string& error);
    bool update_bins(const std::vector<NewBlock>& blocks, std::string& error);
    bool load_bin(const SeriesKey& key, long long before_id, BinState& state, std::string& error);
    bool write_bin(const SeriesKey& key, const BinState& state, std::string& error);
    bool decode_chain(unsigned data_id, int record_type, long long before_id,
                      std::vector<unsigned char>& record, std::string& error);

    sqlite3* db_ = nullptr;
    std::string path_;
    bool read_only_ = false;
    bool has_format_ = true;
    bool time_text_ = false;      // the file's time column converts numbers to text
    bool has_summaries_ = false;  // the file has the summary tables
    int has_marks_ = -1;          // the file has the marks table; -1 not yet known
    HistoryPolicy policy_;
    HistoryFailure last_failure_ = HistoryFailure::None;
    long long rows_written_ = 0;
    long long rows_pruned_ = 0;
    unsigned long long rows_skipped_ = 0;
    Compressor compressor_;
    std::map<SeriesKey, BinState> bins_;
};

}  // namespace kv830host
