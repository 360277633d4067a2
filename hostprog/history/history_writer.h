// Grouped commits of the history, off the polling thread.
//
// The polling thread hands each completed round to submit(), which copies it into a slot
// of a fixed ring and returns: no allocation, no file access, no wait for another
// program's lock. A thread of the writer's own commits what waits every commit interval,
// and at flush() and stop(). While the file cannot be written (locked, disk full,
// read-only medium) rounds wait in the ring and are written once it can; when the ring is
// full the oldest are given up and counted. A power cut loses at most one interval.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "history_store.h"

namespace kv830host {

struct HistoryWriterOptions {
    // Default commit interval: a power cut loses at most this much history. Chosen from
    // the bytes written per hour (bench/history_bench.cpp): every commit writes a few pages
    // whatever it holds, so the medium takes 2.5 times the records' bytes at 10 s, 0.95 at
    // 30 s and 0.57 at 60 s, which leaves most of the budget of 1.5 to what else the file
    // keeps (the delivery marks of MQTT, the alarm journal).
    static constexpr std::int64_t kDefaultCommitMs = 60000;
    static constexpr std::int64_t kMaxCommitMs = 60000;

    std::int64_t commit_ms = kDefaultCommitMs;
    std::size_t record_size = 576;     // the only size submit() takes
    std::size_t max_pending = 7200;    // rounds kept in memory while the file cannot take them
    std::int64_t retry_ms = 1000;      // after a lock or a full disk, try again this soon
    int busy_timeout_ms = 250;         // a commit waits this long for another program's lock
    int final_busy_timeout_ms = 1000;  // the commit at stop() waits longer
};

struct HistoryWriterStatus {
    unsigned long long saved = 0;    // rounds committed
    unsigned long long pending = 0;  // rounds waiting in memory
    unsigned long long dropped = 0;  // rounds given up because the ring was full
    unsigned long long refused = 0;  // rounds of the wrong size, never queued
    unsigned long long commits = 0;
    HistoryFailure failure = HistoryFailure::None;  // of the last attempt
    std::string error;                              // its text, empty after a success
};

class HistoryWriter {
  public:
    // `store` is open for writing; from start() to stop() only the writer's thread uses it.
    HistoryWriter(HistoryStore& store, const HistoryWriterOptions& options);
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    void start();

    // Copies the round into the ring. False (and counted) when its size is not the
    // configured one.
    bool submit(unsigned data_id, int record_type, std::int64_t unix_ms, const unsigned char* data,
                std::size_t size);

    // Copies alarm events for the next commit, which journals them in a transaction of
    // their own; past kMaxAlarmsWaiting the oldest give way.
    void submit_alarms(const std::vector<AlarmEvent>& events);
    static constexpr std::size_t kMaxAlarmsWaiting = 10000;

    // Commits what waits now and returns when that attempt has ended.
    void flush();
    // Commits what waits, one last attempt, and ends the thread. Idempotent.
    void stop();

    HistoryWriterStatus status() const;

    // The rounds of one device waiting for their commit (those being written among them),
    // oldest first, from `from_ms` to `to_ms`: copied under the lock, from any thread, so
    // that a trend ends at the last completed round.
    void waiting_rounds(unsigned data_id, int record_type, std::int64_t from_ms, std::int64_t to_ms,
                        std::vector<StoredRound>& out) const;

    // A consumer's delivery mark, written with the next commit that saves rounds (and at
    // stop()); a later mark of the same consumer and device replaces it.
    void set_mark(const std::string& consumer, unsigned data_id, std::int64_t unix_ms);
    bool marks_waiting() const;

  private:
    struct Meta {
        unsigned data_id;
        int record_type;
        std::int64_t unix_ms;
    };

    // One commit: what waits is taken under the lock, written without it, and the outcome
    // settled under it again, so that rounds keep arriving while the file is written.
    struct Batch {
        std::vector<unsigned char> bytes;
        std::vector<RoundToSave> rounds;
        std::vector<MarkRow> marks;
        std::vector<AlarmEvent> alarms;
        unsigned long long ticket = 0;  // the flush this commit answers
        unsigned long long end = 0;     // the rounds before this are in it
        bool last = false;              // the commit at stop()
    };
    struct Written {
        bool ok = true;
        HistoryFailure failure = HistoryFailure::None;
        std::string error;
        bool alarms_saved = true;
        std::string alarm_error;
    };

    void run();
    void take_batch(Batch& batch);  // mutex_ held
    Written write_batch(Batch& batch);
    // mutex_ held; false when the commit failed in a way worth trying again soon.
    bool settle_batch(Batch& batch, Written& written);

    HistoryStore& store_;
    const HistoryWriterOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable attempted_;
    // The ring's place of round number `n`.
    std::size_t slot_of(unsigned long long n) const {
        return static_cast<std::size_t>((n - base_) % capacity_);
    }

    // max_pending records of record_size bytes, left uninitialised: the kernel maps a page
    // only once a round is written to it, and the ring starts again at its first slot
    // whenever a commit empties it, so a file that takes every commit keeps a commit's
    // rounds resident, not the ring's 4 MB.
    const std::size_t capacity_;
    std::unique_ptr<unsigned char[]> slots_;
    std::unique_ptr<Meta[]> meta_;
    unsigned long long base_ = 0;       // the round number that lies in slot 0
    unsigned long long head_ = 0;       // sequence number of the next round submitted
    unsigned long long tail_ = 0;       // sequence number of the oldest round waiting
    unsigned long long in_flight_ = 0;  // rounds before this are being written
    unsigned long long dropped_in_flight_ = 0;
    unsigned long long flush_asked_ = 0;
    unsigned long long flush_done_ = 0;
    std::vector<AlarmEvent> alarms_;  // waiting for the next commit, oldest first
    bool stopping_ = false;
    bool running_ = false;
    HistoryWriterStatus status_;
    std::map<std::pair<std::string, unsigned>, std::int64_t> marks_;
    std::thread thread_;
};

}  // namespace kv830host
