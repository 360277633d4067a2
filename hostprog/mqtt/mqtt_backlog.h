// What a publisher sends besides the rounds as they complete: the rounds that waited, and
// those the full queue let go, read back from the history with how far delivery has got
// (the delivery mark, kept in the history file).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "mqtt_replay.h"
#include "round.h"
#include "round_archive.h"

namespace kv830host {

// One round on its way: a round of this run from the memory queue, or one read back from
// the history. The polling side only makes these and drops them from the queue; the
// fields below `live` belong to the network thread.
struct QueuedRound {
    RoundPtr round;         // null for a round read back from the history
    StoredSnapshot stored;  // a round read back from the history
    std::int64_t unix_ms = 0;
    std::size_t bytes = 0;
    bool live = false;               // goes to cycle and snapshot; under the queue's lock
    unsigned long long sent_in = 0;  // connection generation it was last sent in; 0 never
    int unacknowledged = 0;
    bool acknowledged = false;

    bool from_file() const { return !round; }
};

// The history's part of the backlog: the rounds after the delivery mark up to the newest
// the memory queue let go (at start: up to the start), read in batches on a thread of
// their own, sent oldest first before the queue's backlog. On the network thread only.
class FileBacklog {
  public:
    using Log = std::function<void(const std::string&)>;

    // Rounds read at a time; the next batch is asked for when fewer than half wait, so
    // that about 1.5 batches of snapshots (under 1 MiB) are held.
    static constexpr std::size_t kBatch = 32;

    FileBacklog(RoundArchive& archive, std::string consumer, unsigned data_id,
                std::function<void()> wake, Log log);
    ~FileBacklog();
    FileBacklog(const FileBacklog&) = delete;
    FileBacklog& operator=(const FileBacklog&) = delete;

    // Reads the mark and starts the reader. A consumer new to the file starts from
    // `run_start_ms`: what it never published before is not its backlog.
    bool open(std::int64_t run_start_ms, std::string& error);
    void stop();

    // The memory queue let the rounds up to this time go: they come from the file.
    void extend(std::int64_t dropped_through_ms);
    // Takes what the reader read; asks for more when `ask` (connected, not stopping).
    void follow(bool ask);
    // Whether the file's part is done: read, sent and acknowledged.
    bool complete() const;
    bool has_pending() const { return !pending_.empty(); }
    // Whether rounds of this run still wait in the file.
    bool holds_this_run() const { return !complete() && until_ms_ > run_start_ms_; }

    // The next round read and not yet sent, taken; null when none.
    std::shared_ptr<QueuedRound> take_next();
    // Marks it sent, in order, until acknowledged.
    void sent(const std::shared_ptr<QueuedRound>& round);
    // After an acknowledgement: the file's rounds up to the newest with all before it in.
    void acknowledged();
    // The connection went: what was sent and not acknowledged goes again, first.
    void resend();

    // Moves the mark: through the file's rounds while they go, then up to `memory_through`
    // (everything before the oldest round the queue still holds). Handed to the archive,
    // which writes it with its next commit, unless `hold` (at exit: saved once, after).
    std::int64_t advance(std::int64_t memory_through, bool hold);
    void save();
    std::int64_t mark() const { return mark_ms_; }

  private:
    using Clock = std::chrono::steady_clock;

    RoundArchive& archive_;
    const std::string consumer_;
    const unsigned data_id_;
    const Log log_;
    ReplayReader reader_;
    std::int64_t run_start_ms_ = 0;
    std::int64_t mark_ms_ = 0;        // every round up to here delivered
    std::int64_t mark_saved_ms_ = 0;  // as last handed to the archive
    std::int64_t until_ms_ = 0;
    std::int64_t read_to_ms_ = 0;
    std::int64_t acked_ms_ = 0;  // the file's rounds up to here delivered
    Clock::time_point retry_at_{};
    bool error_told_ = false;
    std::deque<std::shared_ptr<QueuedRound>> pending_;  // read, not yet sent
    std::deque<std::shared_ptr<QueuedRound>> sent_;     // sent, in order, until acknowledged
};

}  // namespace kv830host
