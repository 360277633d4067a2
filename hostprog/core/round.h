// One polling round of one device, as every output of the program sees it: built once on
// the polling thread when the round ends and shared, unchanged, by every output.
#pragma once

#include <json/value.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kv830_protocol.h"

namespace qdxhost {
struct DriveResult;
}

namespace kv830host {

// The counters of a round. Each is copied once from the link's result (round.cpp) and
// described once in kRoundCounters, which the status page, the cycle message and the
// metrics walk: a new counter is one enumerator, one row and one line of copying.
enum class RoundCounter : std::uint8_t {
    Answered,    // requests the controller answered
    Failed,      // requests given up after their retries
    Retries,     // requests sent again after a lost, garbled or busy reply
    Timeouts,    // failed: no reply within the timeout
    Garbled,     // failed: CRC, framing or length wrong
    Exceptions,  // failed: the controller answered with an exception
    LinkDown,    // the port or connection was gone (1 for the round, not per request)
};
constexpr std::size_t kRoundCounterCount = static_cast<std::size_t>(RoundCounter::LinkDown) + 1;

struct RoundCounterInfo {
    RoundCounter counter;
    const char* key;  // JSON member of the cycle message and the status page
    // Where /metrics counts the totals: a family of its own, or one value of the "reason"
    // label of kv830_requests_failed_total ("" for neither).
    const char* metric;
    const char* failed_reason;
    const char* metric_help;  // for a family of its own
    bool in_cycle_message;    // carried by the MQTT cycle message
};
extern const std::array<RoundCounterInfo, kRoundCounterCount> kRoundCounters;

struct RoundCounters {
    std::array<unsigned, kRoundCounterCount> values{};

    unsigned operator[](RoundCounter c) const { return values[static_cast<std::size_t>(c)]; }
    unsigned& operator[](RoundCounter c) { return values[static_cast<std::size_t>(c)]; }
};

// The counters of a round that `drive` reports; `link_down` is the runner's own judgement
// (the link's last exchange, or a port that is no longer open).
RoundCounters counters_of(const qdxhost::DriveResult& drive, bool link_down);

struct Round {
    unsigned data_id = 0;
    unsigned long long number = 0;  // counts from 1 per device since the program started
    bool completed = false;         // every request answered and the record published
    bool from_history = false;      // a record served from the history at start, not polled
    double duration_s = 0.0;
    RoundCounters counters;
    unsigned long long reopens_total = 0;  // link reopens since the program started
    bool link_up = true;
    // A device that answered nothing for rounds on a line it shares is asked only this
    // often (seconds), so that its neighbours keep their interval; 0 while it answers.
    double silent_backoff_s = 0.0;
    std::int64_t end_unix_ms = 0;  // wall clock when the round ended (stored rounds: saved)
    std::int64_t last_completed_unix_ms = 0;  // 0 while no round has completed

    // The record the device published, when completed (or served).
    std::array<unsigned char, kv830::kRecordSize> record{};
    // The device asked the host to store the record (it does at the end of every round).
    bool store = false;

    // The device's snapshot (request 801) and the same as a document, when completed and
    // when some output asked for them (RoundNeeds): fetched and parsed once per round.
    std::string snapshot;
    Json::Value document;
};

using RoundPtr = std::shared_ptr<const Round>;

// The memory a round holds, its snapshot and document included, for an output that bounds
// what it keeps in bytes. Counted whole even when other outputs share the round.
std::size_t round_bytes(const Round& round);

}  // namespace kv830host
