// What the polling side and the write path hand to a publisher's network thread: the
// rounds waiting, bounded in rounds and bytes, the write results and other messages to
// publish, and the descriptor that wakes the thread. Every field is under one mutex; the
// queue's size, bytes and drops are also kept in atomics for the counters.
//
// Shared (std::shared_ptr), so that a write outcome or a history read arriving after the
// publisher is gone finds it still there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mqtt_backlog.h"
#include "round.h"

namespace kv830host {

class MqttInbox {
  public:
    struct Bounds {
        std::size_t rounds = 0;    // rounds waiting; past it the oldest leave
        std::size_t bytes = 0;     // what they hold; past it too
        std::size_t results = 0;   // write results waiting; past it new ones are not answered
        std::size_t messages = 0;  // other messages waiting; past it the oldest give way
    };
    struct Message {
        std::string topic;
        std::string payload;
        bool retained;
    };
    // What one pass of the network thread sends of the queue.
    struct Limits {
        unsigned long long generation = 0;  // rounds sent on this connection are not again
        int room = 0;                       // free places in the in-flight window
        int keep_free = 0;                  // of them kept for a live round to come
        int backlog_room = 0;               // the backlog's own part of the window
        int paced = 0;                      // backlog rounds the rate lets go now
        bool backlog_due = false;           // the history's part of the backlog is done
    };
    struct Chosen {
        std::vector<std::shared_ptr<QueuedRound>> live;     // to cycle and snapshot
        std::vector<std::shared_ptr<QueuedRound>> backlog;  // to history, oldest first
        std::vector<std::shared_ptr<QueuedRound>> failed;   // nothing to send: forget them
        int room = 0;                                       // left in the window
    };

    explicit MqttInbox(const Bounds& bounds);
    ~MqttInbox();
    MqttInbox(const MqttInbox&) = delete;
    MqttInbox& operator=(const MqttInbox&) = delete;

    // False when the wake-up descriptor could not be made.
    bool usable() const { return wake_fd_ >= 0; }
    int wake_fd() const { return wake_fd_; }
    void wake() const;
    // After the wake-up descriptor was readable: ready for the next wake-up.
    void drain() const;

    // The polling side. `connected` is read under the lock: a round submitted as the
    // connection comes is either live by itself or made live by mark_newest_live().
    void push(const RoundPtr& round, const std::atomic<bool>& connected);
    void add_result(std::string payload);
    void add_message(Message message);

    // The network thread.
    void take_outgoing(std::deque<std::string>& results, std::deque<Message>& messages);
    Chosen choose(const Limits& limits) const;
    void forget(const std::shared_ptr<QueuedRound>& entry);
    // A new connection: returns how many rounds wait.
    std::size_t mark_newest_live();
    // A lost connection: everything not acknowledged goes out again, as backlog.
    void mark_for_resend();
    bool has_backlog() const;
    // Every round up to this time is delivered or in the history (what the queue holds
    // starts after it).
    std::int64_t delivered_before() const;
    std::int64_t dropped_through() const;
    // How many rounds still wait to go: live ones, and with `backlog_goes` the completed
    // backlog too.
    std::size_t count_waiting(bool backlog_goes) const;

    std::size_t depth() const { return depth_.load(); }
    std::size_t bytes() const { return bytes_held_.load(); }
    unsigned long long dropped() const { return dropped_.load(); }

  private:
    void count_queue();  // under mutex_

    const Bounds bounds_;
    mutable std::mutex mutex_;
    // Every round of this run submitted and not yet delivered, oldest first.
    std::deque<std::shared_ptr<QueuedRound>> queue_;
    std::size_t bytes_ = 0;
    std::int64_t submitted_through_ms_ = 0;  // the newest round submitted
    std::int64_t dropped_through_ms_ = 0;    // the newest completed round the full queue let go
    std::deque<std::string> results_;        // write result payloads to publish
    std::deque<Message> messages_;           // of other parts of the program
    const int wake_fd_;
    std::atomic<std::size_t> depth_{0};
    std::atomic<std::size_t> bytes_held_{0};
    std::atomic<unsigned long long> dropped_{0};
};

}  // namespace kv830host
