// /api/events: one open stream of server-sent events, one event per cycle of any device
// (or of one, with data_id=), each with its snapshot when snapshot=1 was asked for.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "plant_state.h"

namespace kv830host {

// The event's text as the stream sends it: id, event type and one data field per line of
// the data, so that a line break in a snapshot cannot end the event early.
std::string event_text(const CycleEvent& e, const std::shared_ptr<const std::string>& snapshot);

class EventStream {
  public:
    struct Choice {
        bool filtered = false;
        unsigned data_id = 0;
        bool with_snapshot = false;
        std::uint64_t after_seq = 0;  // the last event the client has
    };
    // Takes one of the open places counted by `open`, given back on destruction.
    EventStream(const PlantState& state, const Choice& choice, std::atomic<unsigned>& open);
    ~EventStream();
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    static std::string opening() { return "retry: 3000\n: connected\n\n"; }
    static std::string heartbeat() { return ": keep-alive\n\n"; }
    // The events since the last call, as text; empty when there are none.
    std::string take_new();

  private:
    const PlantState& state_;
    const Choice choice_;
    std::uint64_t seen_;
    std::atomic<unsigned>& open_;
};

}  // namespace kv830host
