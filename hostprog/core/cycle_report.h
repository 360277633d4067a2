// What the polling side hands to everything that watches it (status line, MQTT, HTTP),
// and how those watchers hand writes back. Reports are copied out of the polling thread
// so that no watcher can make a cycle wait.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "remote_write.h"

namespace kv830host {

// One polling cycle of one device, as it ended.
struct CycleReport {
    unsigned data_id = 0;
    unsigned long long number = 0;  // counts from 1 per device since the program started
    bool completed = false;         // all requests answered and the round published
    double duration_s = 0.0;
    unsigned answered = 0;
    unsigned failed = 0;
    unsigned retries = 0;
    // Why requests failed this cycle (after retries), for the failure counters.
    unsigned timeouts = 0;                 // no reply within the timeout
    unsigned garbled = 0;                  // CRC, framing or length wrong
    unsigned exceptions = 0;               // the controller answered with an exception
    unsigned link_down = 0;                // the port or connection was gone
    unsigned long long reopens_total = 0;  // link reopens since the program started
    bool link_up = true;
    std::int64_t end_unix_ms = 0;             // wall clock when the cycle ended
    std::int64_t last_completed_unix_ms = 0;  // 0 while no cycle has completed
    std::string snapshot;  // the device's snapshot text when completed, else empty
};

// Carries a write to the polling thread of the device's line; `done` runs on that thread
// once the outcome is known, so it must only copy and hand on.
using WriteSubmitter = std::function<void(const WriteCommand&, WriteDone done)>;

}  // namespace kv830host
