// The alarms of every device, fed from the rounds in one place so that every output sees
// the same events, and acknowledged from outside through the rule of remote writes
// (a command acts at most once, a retained message never). The latest events are kept in
// memory for the page and the API; the history journals them all when it is on.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "alarm_machine.h"
#include "metrics_text.h"
#include "remote_write.h"
#include "round.h"
#include "status_lines.h"

namespace kv830host {

// Events kept in memory: all of the journal that --no-history keeps.
constexpr std::size_t kAlarmEventsKept = 1000;

// What one change of a device's alarms tells the outputs: its events, oldest first, and
// the device's list as it stands after them.
struct AlarmNews {
    unsigned data_id = 0;
    std::vector<AlarmEvent> events;
    std::vector<ListedAlarm> listed;
};

// Where the events of earlier runs are kept (the history file).
class AlarmJournal {
  public:
    virtual ~AlarmJournal() = default;
    // The latest `limit` events, oldest first; false with `error` when the file cannot be
    // read.
    virtual bool recent_alarm_events(std::size_t limit, std::vector<AlarmEvent>& out,
                                     std::string& error) = 0;
};

// An acknowledgement as it arrived from outside.
struct AlarmAck {
    unsigned data_id = 0;
    bool has_data_id = false;  // without one, the program's only device
    std::string signal;
    bool all = false;
    std::string command_id;
    std::string source;  // "http 192.0.2.7", "mqtt"
    bool retained = false;
};

struct AlarmAckOutcome {
    bool ok = false;
    WriteRefusal refusal = WriteRefusal::None;
    std::string reason;
    unsigned acknowledged = 0;
};

// Reads `{"data_id":N,"signal":"..."}` or `{"data_id":N,"all":true}` with an optional
// "command_id"; false with `error` for anything else. `out`'s source and retained stay.
bool parse_alarm_ack(const std::string& text, AlarmAck& out, std::string& error);

class AlarmBoard {
  public:
    // Whether a remote command may act: the write rule's retained and command id checks;
    // `remember` once it is sure to act.
    using Admit = std::function<bool(const RemoteWrite&, bool remember, WriteOutcome&)>;
    using Deliver = std::function<void(const AlarmNews&)>;

    AlarmBoard(const std::vector<std::pair<unsigned, const SignalModel*>>& devices,
               const AlarmLimits& limits, StatusSink& audit);

    void set_admit(Admit admit) { admit_ = std::move(admit); }
    // Runs under the board's lock, so that every output sees one order: copy and hand on.
    void set_deliver(Deliver deliver) { deliver_ = std::move(deliver); }

    // Before the first round: the list as the journal left it; a note when it could not.
    bool restore(AlarmJournal& journal, std::string& error);

    // Tells every output each device's list, without events: once at start, so that what
    // a broker retained from an earlier run is replaced.
    void announce();
    // Every round, on its polling thread; needs the round's document.
    void on_round(const Round& round);
    // From any thread; the outcome is known on return.
    AlarmAckOutcome acknowledge(const AlarmAck& ack);
    // One its path could not read: audited like the rest.
    AlarmAckOutcome refuse(const AlarmAck& ack, const std::string& reason);

    // A device's list and latest events (newest last, at most `events`); false for a data id
    // the board does not know.
    bool view(unsigned data_id, std::size_t events, std::vector<ListedAlarm>& listed,
              std::vector<AlarmEvent>& latest) const;
    std::vector<unsigned> data_ids() const;
    // kv830_alarm_active and kv830_alarms_raised_total, every alarm of every device.
    void describe_metrics(MetricsText& out) const;

  private:
    struct Device {
        std::unique_ptr<AlarmMachine> machine;
        std::vector<bool> bits;
        // Per bit: for a two-state register the text of its "on" state, else null.
        std::vector<const char*> on_text;
        std::map<std::string, unsigned long long> raised;
    };

    void tell(unsigned data_id, Device& device, std::vector<AlarmEvent> events);

    mutable std::mutex mutex_;
    std::map<unsigned, Device> devices_;
    std::deque<AlarmEvent> latest_;
    StatusSink& audit_;
    Admit admit_;
    Deliver deliver_;
};

// The objects MQTT and HTTP send: an event, and a listed alarm.
Json::Value alarm_event_json(const AlarmEvent& event);
Json::Value listed_alarm_json(const ListedAlarm& alarm);

// "ack from http 127.0.0.1: data id 1, signal X, command_id c1: acknowledged 1"
std::string alarm_ack_audit_line(const AlarmAck& ack, const AlarmAckOutcome& outcome);

}  // namespace kv830host
