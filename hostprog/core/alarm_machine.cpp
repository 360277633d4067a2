#include "alarm_machine.h"

#include <algorithm>
#include <array>
#include <tuple>

#include "option_table.h"

namespace kv830host {

namespace {

constexpr std::array<const char*, 4> kStateNames = {"raised", "cleared", "acknowledged",
                                                    "chattering"};

constexpr long long kMaxChatterChanges = 1000;
constexpr long long kMaxChatterMinutes = 24 * 60;
constexpr std::int64_t kMinuteMs = 60'000;

}  // namespace

bool parse_alarm_chatter(const std::string& text, AlarmLimits& out, std::string& error) {
    const std::size_t slash = text.find('/');
    long long changes = 0;
    long long minutes = 0;
    if (slash == std::string::npos ||
        !kv830cli::parse_decimal(text.substr(0, slash), 1, kMaxChatterChanges, changes) ||
        !kv830cli::parse_decimal(text.substr(slash + 1), 1, kMaxChatterMinutes, minutes)) {
        error = "needs N/M: more than N changes (1 to 1000) within M minutes (1 to 1440), not \"" +
                text + "\"";
        return false;
    }
    out.chatter_changes = static_cast<unsigned>(changes);
    out.chatter_window_ms = minutes * kMinuteMs;
    return true;
}

const char* alarm_state_name(AlarmState state) {
    // cppcheck-suppress CastIntegerToAddressAtReturn ; an element of an array of texts
    return kStateNames[static_cast<std::size_t>(state)];
}

bool parse_alarm_state(const std::string& text, AlarmState& out) {
    for (std::size_t i = 0; i < kStateNames.size(); ++i) {
        if (text == kStateNames[i]) {
            out = static_cast<AlarmState>(i);
            return true;
        }
    }
    return false;
}

AlarmMachine::AlarmMachine(unsigned data_id, const SignalModel& model, const AlarmLimits& limits)
    : data_id_(data_id), limits_(limits) {
    for (const SignalTraits& traits : model.signals()) {
        if (traits.alarm != kv830model::Alarm::None && traits.row != nullptr) {
            Entry e;
            e.alarm.signal = traits.row->key;
            e.alarm.priority = traits.alarm;
            entries_.push_back(e);
            bit_names_.push_back(traits.row->key);
        }
    }
    Entry link;
    link.alarm.signal = kCommLostSignal;
    link.alarm.priority = kv830model::Alarm::Fault;
    entries_.push_back(link);
}

AlarmMachine::Entry* AlarmMachine::find(const std::string& signal) {
    for (Entry& e : entries_) {
        if (e.alarm.signal == signal) {
            return &e;
        }
    }
    return nullptr;
}

// The one place the list changes, for live events and journal events alike.
void AlarmMachine::apply(const AlarmEvent& event) {
    Entry* e = find(event.signal);
    if (e == nullptr) {
        return;  // a signal no longer marked as an alarm
    }
    ListedAlarm& a = e->alarm;
    switch (event.state) {
        case AlarmState::Raised:
            a.active = true;
            a.acknowledged = false;
            a.since = event.unix_ms;
            a.cleared_at = 0;
            e->listed = true;
            break;
        case AlarmState::Cleared:
            a.active = false;
            a.cleared_at = event.unix_ms;
            e->listed = !a.acknowledged;
            break;
        case AlarmState::Acknowledged:
            a.acknowledged = true;
            e->listed = a.active || a.chattering;
            break;
        case AlarmState::Chattering:
            a.chattering = true;
            e->listed = true;
            return;
    }
    if (event.state != AlarmState::Acknowledged) {
        a.chattering = false;
    }
}

void AlarmMachine::emit(const Entry& entry, AlarmState state, std::int64_t now_ms,
                        const std::string& by, std::vector<AlarmEvent>& out, unsigned changes) {
    AlarmEvent event;
    event.unix_ms = now_ms;
    event.data_id = data_id_;
    event.signal = entry.alarm.signal;
    event.priority = entry.alarm.priority;
    event.state = state;
    event.by = by;
    event.changes = changes;
    apply(event);
    out.push_back(std::move(event));
}

void AlarmMachine::change(Entry& e, bool on, std::int64_t now_ms, std::vector<AlarmEvent>& out) {
    e.changes.push_back(now_ms);
    while (e.changes.size() > limits_.chatter_changes + 1) {
        e.changes.pop_front();
    }
    const bool chattering_now = e.changes.size() > limits_.chatter_changes &&
                                now_ms - e.changes.front() <= limits_.chatter_window_ms;
    if (!e.alarm.chattering && chattering_now) {
        emit(e, AlarmState::Chattering, now_ms, "", out, static_cast<unsigned>(e.changes.size()));
        e.passed_over = 0;
    }
    if (e.alarm.chattering) {
        // Counted, not told: the list shows where it stands now.
        ++e.passed_over;
        e.alarm.active = on;
        if (on) {
            e.alarm.since = now_ms;
        }
        return;
    }
    emit(e, on ? AlarmState::Raised : AlarmState::Cleared, now_ms, "", out);
}

void AlarmMachine::observe(std::int64_t now_ms, const std::vector<bool>* bits,
                           std::vector<AlarmEvent>& out) {
    const Entry& link = entries_.back();
    if (!seen_round_) {
        seen_round_ = true;
        last_completed_ms_ = now_ms;
    }
    if (bits == nullptr || bits->size() != bit_names_.size()) {
        if (!link.alarm.active && now_ms - last_completed_ms_ >= limits_.comm_lost_after_ms) {
            emit(link, AlarmState::Raised, now_ms, "", out);
        }
        return;
    }
    last_completed_ms_ = now_ms;
    if (link.alarm.active) {
        emit(link, AlarmState::Cleared, now_ms, "", out);
    }
    for (std::size_t i = 0; i < bit_names_.size(); ++i) {
        Entry& e = entries_[i];
        if ((*bits)[i] != e.alarm.active) {
            change(e, (*bits)[i], now_ms, out);
        } else if (e.alarm.chattering &&
                   (e.changes.empty() || now_ms - e.changes.back() > limits_.chatter_window_ms)) {
            // Quiet for a whole window: one event says where it ended.
            const unsigned passed = e.passed_over;
            e.passed_over = 0;
            e.changes.clear();
            emit(e, e.alarm.active ? AlarmState::Raised : AlarmState::Cleared, now_ms, "", out,
                 passed);
        }
    }
}

bool AlarmMachine::acknowledge(const std::string& signal, bool all, const std::string& by,
                               std::int64_t now_ms, std::vector<AlarmEvent>& out,
                               std::string& error) {
    if (all) {
        // In the list's order, as the operator sees them.
        for (const ListedAlarm& listed : list()) {
            Entry* e = find(listed.signal);
            if (!listed.acknowledged && e != nullptr) {
                emit(*e, AlarmState::Acknowledged, now_ms, by, out);
            }
        }
        return true;
    }
    Entry* e = find(signal);
    if (e == nullptr) {
        std::vector<std::string> known = bit_names_;
        known.push_back(kCommLostSignal);
        error = "no alarm named \"" + signal + "\" on data id " + std::to_string(data_id_) +
                kv830cli::did_you_mean(signal, known);
        return false;
    }
    if (!e->listed || e->alarm.acknowledged) {
        error = "\"" + signal + "\" has no alarm waiting for acknowledgement";
        return false;
    }
    emit(*e, AlarmState::Acknowledged, now_ms, by, out);
    return true;
}

void AlarmMachine::restore(const AlarmEvent& event) {
    apply(event);
    if (event.signal == kCommLostSignal && event.state == AlarmState::Raised) {
        // Stale since before the restart: the link must complete a round to clear it.
        last_completed_ms_ = event.unix_ms;
        seen_round_ = true;
    }
}

std::vector<ListedAlarm> AlarmMachine::list() const {
    std::vector<ListedAlarm> out;
    for (const Entry& e : entries_) {
        if (e.listed) {
            out.push_back(e.alarm);
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const ListedAlarm& a, const ListedAlarm& b) {
        return std::make_tuple(!a.active, -static_cast<int>(a.priority), -a.since) <
               std::make_tuple(!b.active, -static_cast<int>(b.priority), -b.since);
    });
    return out;
}

std::vector<ListedAlarm> AlarmMachine::all() const {
    std::vector<ListedAlarm> out;
    out.reserve(entries_.size());
    for (const Entry& e : entries_) {
        out.push_back(e.alarm);
    }
    return out;
}

}  // namespace kv830host
