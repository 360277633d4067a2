// The alarms of one device as an operator works them (active or cleared, acknowledged or
// not): each completed round's alarm bits are compared with the round before, a bit that
// turns on raises its alarm and one that turns off clears it. Pure: time is an argument, so
// the same transitions rebuild the state from the journal at start.
//
// An alarm leaves the list only once it is cleared and acknowledged. One that changes more
// than AlarmLimits::chatter_changes times within chatter_window_ms is marked chattering:
// its raises and clears are then counted, not told, until it has been quiet for a whole
// window, when one event says where it ended and how many changes it passed over.
// While the link is down nothing is raised or cleared; once no round has completed for the
// device's staleness limit, the gateway's own "communication lost" alarm is raised.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "signal_model.h"

namespace kv830host {

// The gateway's own alarm for a device whose data went stale.
constexpr const char* kCommLostSignal = "通信中断";

struct AlarmLimits {
    unsigned chatter_changes = 5;              // more changes than this within the window
    std::int64_t chatter_window_ms = 600'000;  // ten minutes
    std::int64_t comm_lost_after_ms = kv830::kStaleAfterSeconds * 1000;
};

// "N/M": more than N changes within M minutes (--alarm-chatter).
bool parse_alarm_chatter(const std::string& text, AlarmLimits& out, std::string& error);

enum class AlarmState : std::uint8_t { Raised, Cleared, Acknowledged, Chattering };

// "raised", "cleared", "acknowledged", "chattering"; and back.
const char* alarm_state_name(AlarmState state);
bool parse_alarm_state(const std::string& text, AlarmState& out);

struct AlarmEvent {
    std::int64_t unix_ms = 0;
    unsigned data_id = 0;
    std::string signal;
    kv830model::Alarm priority = kv830model::Alarm::Alarm;
    AlarmState state = AlarmState::Raised;
    std::string by;        // who acknowledged ("http 192.0.2.7", "mqtt"); "" for the rounds'
    unsigned changes = 0;  // changes passed over while chattering, on the event that ends it
};

// An alarm on the operator's list.
struct ListedAlarm {
    std::string signal;
    kv830model::Alarm priority = kv830model::Alarm::Alarm;
    bool active = false;
    bool acknowledged = false;
    bool chattering = false;
    std::int64_t since = 0;       // its latest raise
    std::int64_t cleared_at = 0;  // when it cleared, while it waits for acknowledgement
};

class AlarmMachine {
  public:
    // The alarm signals of `model` at the time of the call, in the model's order.
    AlarmMachine(unsigned data_id, const SignalModel& model, const AlarmLimits& limits);

    // The names of the alarm bits, the order observe() takes them in.
    const std::vector<std::string>& bit_names() const { return bit_names_; }

    // One round at `now_ms`: `bits` (one per bit_names()) when it completed, nullptr when it
    // failed. Appends what happened to `out`.
    void observe(std::int64_t now_ms, const std::vector<bool>* bits, std::vector<AlarmEvent>& out);

    // Acknowledges `signal`, or every unacknowledged alarm with `all`. False with `error`
    // when there is nothing of that name to acknowledge; the state is then unchanged.
    bool acknowledge(const std::string& signal, bool all, const std::string& by,
                     std::int64_t now_ms, std::vector<AlarmEvent>& out, std::string& error);

    // A journal event of an earlier run, oldest first: the list as it stood, nothing told.
    void restore(const AlarmEvent& event);

    // Active first, faults before alarms, newest raise first.
    std::vector<ListedAlarm> list() const;
    // Every alarm of the device, listed or not, in bit_names() order and the link's last.
    std::vector<ListedAlarm> all() const;

  private:
    struct Entry {
        ListedAlarm alarm;
        bool listed = false;
        std::deque<std::int64_t> changes;  // times of the latest changes, oldest first
        unsigned passed_over = 0;
    };

    Entry* find(const std::string& signal);
    void apply(const AlarmEvent& event);
    void emit(const Entry& entry, AlarmState state, std::int64_t now_ms, const std::string& by,
              std::vector<AlarmEvent>& out, unsigned changes = 0);
    void change(Entry& entry, bool on, std::int64_t now_ms, std::vector<AlarmEvent>& out);

    unsigned data_id_;
    AlarmLimits limits_;
    std::vector<Entry> entries_;  // the bits in bit_names() order, then the link's own
    std::vector<std::string> bit_names_;
    std::int64_t last_completed_ms_ = 0;  // or the first round's time while none completed
    bool seen_round_ = false;
};

}  // namespace kv830host
