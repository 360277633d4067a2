#include "event_stream.h"

#include "http_reply.h"

namespace kv830host {

namespace {

std::string bool_text(bool value) {
    return value ? "true" : "false";
}

}  // namespace

std::string event_text(const CycleEvent& e, const std::shared_ptr<const std::string>& snapshot) {
    std::string data =
        "{\"seq\":" + std::to_string(e.seq) + ",\"data_id\":" + std::to_string(e.data_id) +
        ",\"cycle\":" + std::to_string(e.number) + ",\"completed\":" + bool_text(e.completed) +
        ",\"duration_s\":" + json_number(e.duration_s) +
        ",\"answered\":" + std::to_string(e.counters[RoundCounter::Answered]) +
        ",\"failed\":" + std::to_string(e.counters[RoundCounter::Failed]) +
        ",\"end_unix_ms\":" + std::to_string(e.end_unix_ms) +
        ",\"last_completed_unix_ms\":" + std::to_string(e.last_completed_unix_ms);
    if (snapshot) {
        data += ",\"snapshot\":" + *snapshot;
    }
    data += "}";
    std::string out = "id: " + std::to_string(e.seq) + "\nevent: cycle\n";
    std::size_t start = 0;
    while (start <= data.size()) {
        std::size_t end = data.find('\n', start);
        if (end == std::string::npos) {
            end = data.size();
        }
        if (end > start) {
            out += "data: " + data.substr(start, end - start) + "\n";
        }
        start = end + 1;
    }
    return out + "\n";
}

EventStream::EventStream(const PlantState& state, const Choice& choice, std::atomic<unsigned>& open)
    : state_(state), choice_(choice), seen_(choice.after_seq), open_(open) {
    ++open_;
}

EventStream::~EventStream() {
    --open_;
}

std::string EventStream::take_new() {
    std::string out;
    for (const CycleEvent& e : state_.events_after(seen_)) {
        seen_ = e.seq;
        if (choice_.filtered && e.data_id != choice_.data_id) {
            continue;
        }
        std::shared_ptr<const std::string> snapshot;
        DeviceView d;
        if (choice_.with_snapshot && e.completed && state_.device(e.data_id, d)) {
            snapshot = d.snapshot;
        }
        out += event_text(e, snapshot);
    }
    return out;
}

}  // namespace kv830host
