#include "plant_state.h"

#include <json/reader.h>

#include <memory>
#include <utility>

namespace kv830host {

namespace {

// The round's document when the program parsed it, else the text parsed here, once.
std::shared_ptr<const Json::Value> document_of(const std::string& text, const Json::Value& doc) {
    if (doc.isObject()) {
        return std::make_shared<const Json::Value>(doc);
    }
    Json::Value parsed;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &parsed, &errors) ||
        !parsed.isObject()) {
        return nullptr;
    }
    return std::make_shared<const Json::Value>(std::move(parsed));
}

}  // namespace

PlantState::PlantState(double interval_s) : interval_s_(interval_s > 0.0 ? interval_s : 1.0) {}

void PlantState::on_round(const Round& report) {
    // The copy of the text is made before the lock, so readers wait for a pointer swap
    // and a few counters only.
    std::shared_ptr<const std::string> text;
    std::shared_ptr<const Json::Value> doc;
    if (report.completed && !report.snapshot.empty()) {
        text = std::make_shared<const std::string>(report.snapshot);
        doc = document_of(report.snapshot, report.document);
    }
    std::size_t bucket = 0;
    while (bucket < kCycleDurationBuckets.size() &&
           report.duration_s > kCycleDurationBuckets[bucket]) {
        ++bucket;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        DeviceView& d = devices_[report.data_id];
        d.data_id = report.data_id;
        d.cycle = report.number;
        d.last_cycle_completed = report.completed;
        d.last_duration_s = report.duration_s;
        d.last_end_unix_ms = report.end_unix_ms;
        if (report.last_completed_unix_ms != 0) {
            d.last_completed_unix_ms = report.last_completed_unix_ms;
        } else if (report.completed) {
            d.last_completed_unix_ms = report.end_unix_ms;
        }
        d.last = report.counters;
        d.link_up = report.link_up;
        if (report.completed) {
            ++d.cycles_completed;
        } else {
            ++d.cycles_failed;
        }
        for (std::size_t i = 0; i < kRoundCounterCount; ++i) {
            d.totals[i] += report.counters.values[i];
        }
        d.reopens = report.reopens_total;
        ++d.duration_counts[bucket];
        d.duration_sum_s += report.duration_s;
        if (text) {
            d.snapshot = std::move(text);
            d.document = std::move(doc);
            d.from_history = false;
        }
        CycleEvent e;
        e.seq = ++seq_;
        e.data_id = report.data_id;
        e.number = report.number;
        e.completed = report.completed;
        e.duration_s = report.duration_s;
        e.counters = report.counters;
        e.end_unix_ms = report.end_unix_ms;
        e.last_completed_unix_ms = d.last_completed_unix_ms;
        events_.push_back(e);
        if (events_.size() > kEventsKept) {
            events_.pop_front();
        }
    }
    changed_.notify_all();
}

void PlantState::serve_from_history(unsigned data_id, const std::string& snapshot,
                                    const Json::Value& document, std::int64_t completed_unix_ms) {
    auto text = std::make_shared<const std::string>(snapshot);
    auto doc = document_of(snapshot, document);
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceView& d = devices_[data_id];
    if (d.snapshot) {
        return;  // a cycle was faster: its record is newer
    }
    d.data_id = data_id;
    d.snapshot = std::move(text);
    d.document = std::move(doc);
    d.last_completed_unix_ms = completed_unix_ms;
    d.from_history = true;
}

std::vector<DeviceView> PlantState::devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DeviceView> out;
    out.reserve(devices_.size());
    for (const auto& entry : devices_) {
        out.push_back(entry.second);
    }
    return out;
}

bool PlantState::device(unsigned data_id, DeviceView& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = devices_.find(data_id);
    if (found == devices_.end()) {
        return false;
    }
    out = found->second;
    return true;
}

std::vector<CycleEvent> PlantState::events_after(std::uint64_t after_seq) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CycleEvent> out;
    for (const CycleEvent& e : events_) {
        if (e.seq > after_seq) {
            out.push_back(e);
        }
    }
    return out;
}

std::uint64_t PlantState::last_seq() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seq_;
}

bool PlantState::wait_for_event(std::uint64_t after_seq, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t wakes = wakes_;
    changed_.wait_for(lock, timeout, [&] { return seq_ > after_seq || wakes_ != wakes; });
    return seq_ > after_seq;
}

void PlantState::wake_all() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++wakes_;
    }
    changed_.notify_all();
}

}  // namespace kv830host
