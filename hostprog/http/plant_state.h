// What the HTTP server knows about the plant: the latest snapshot and counters per device,
// fed from the polling thread. on_cycle only copies under a short lock, so a slow page or
// scrape can never make a cycle wait; readers take copies the same way.
#pragma once

#include <json/value.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kv830_protocol.h"
#include "round.h"

namespace kv830host {

// The device's own limit: a snapshot older than this is stale, whatever the interval.
constexpr std::int64_t kStaleAfterMs = kv830::kStaleAfterSeconds * 1000;

// Upper bounds of the cycle duration histogram, in seconds: from a millisecond (a cycle
// over Modbus TCP) past a second (17 requests at 9600 baud) to the timeouts' 10 s.
constexpr std::array<double, 13> kCycleDurationBuckets = {
    0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0};

struct DeviceView {
    unsigned data_id = 0;
    unsigned long long cycle = 0;  // number of the latest cycle, completed or not
    bool last_cycle_completed = false;
    double last_duration_s = 0.0;
    std::int64_t last_end_unix_ms = 0;
    std::int64_t last_completed_unix_ms = 0;                      // 0 while nothing has completed
    RoundCounters last;                                           // of the latest cycle
    std::array<unsigned long long, kRoundCounterCount> totals{};  // since the program started
    bool link_up = true;
    unsigned long long cycles_completed = 0;
    unsigned long long cycles_failed = 0;
    unsigned long long reopens = 0;

    unsigned long long total(RoundCounter c) const { return totals[static_cast<std::size_t>(c)]; }
    // Non-cumulative counts per bucket of kCycleDurationBuckets, then the overflow.
    std::array<unsigned long long, kCycleDurationBuckets.size() + 1> duration_counts{};
    double duration_sum_s = 0.0;
    bool from_history = false;  // the snapshot was loaded from the history at start
    std::shared_ptr<const std::string> snapshot;  // null while there is none
    // The same as a document, parsed once per round rather than at every scrape.
    std::shared_ptr<const Json::Value> document;
};

// One cycle as the event stream tells it; seq counts every cycle of every device.
struct CycleEvent {
    std::uint64_t seq = 0;
    unsigned data_id = 0;
    unsigned long long number = 0;
    bool completed = false;
    double duration_s = 0.0;
    RoundCounters counters;
    std::int64_t end_unix_ms = 0;
    std::int64_t last_completed_unix_ms = 0;
};

class PlantState {
  public:
    // interval_s: the polling interval, for the health check's three intervals.
    explicit PlantState(double interval_s = 1.0);

    // From the polling thread, once per device per cycle.
    void on_round(const Round& round);

    // At start, before the first cycle: the last record the history kept, served (and
    // flagged as such) until a cycle completes.
    void serve_from_history(unsigned data_id, const std::string& snapshot,
                            const Json::Value& document, std::int64_t completed_unix_ms);

    double interval_s() const { return interval_s_; }
    std::vector<DeviceView> devices() const;  // by data id
    bool device(unsigned data_id, DeviceView& out) const;

    // Events after `after_seq` still kept (the latest kEventsKept), oldest first.
    std::vector<CycleEvent> events_after(std::uint64_t after_seq) const;
    std::uint64_t last_seq() const;
    // Waits until an event after `after_seq` exists, the timeout passes or wake_all is
    // called; returns whether there is one.
    bool wait_for_event(std::uint64_t after_seq, std::chrono::milliseconds timeout) const;
    void wake_all() const;

    static constexpr std::size_t kEventsKept = 256;

  private:
    const double interval_s_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<unsigned, DeviceView> devices_;
    std::deque<CycleEvent> events_;
    std::uint64_t seq_ = 0;
    mutable std::uint64_t wakes_ = 0;
};

}  // namespace kv830host
