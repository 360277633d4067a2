#include "alarm_board.h"

#include <algorithm>
#include <utility>

#include "json_text.h"
#include "time_text.h"

namespace kv830host {

namespace {

// Room for a signal name of the controller's table, with margin; a longer one is no name.
constexpr std::size_t kMaxSignalBytes = 256;
constexpr std::size_t kMaxCommandIdBytes = 128;
constexpr std::size_t kAlarmAckMaxBytes = 1024;

}  // namespace

bool parse_alarm_ack(const std::string& text, AlarmAck& out, std::string& error) {
    if (text.size() > kAlarmAckMaxBytes) {
        error = "acknowledgement longer than " + std::to_string(kAlarmAckMaxBytes) + " bytes";
        return false;
    }
    Json::Value body;
    JsonTextRules rules;
    rules.max_depth = 1;
    if (!read_json_text(text, rules, body, error)) {
        return false;
    }
    if (!body.isObject()) {
        error = "the body must be a JSON object";
        return false;
    }
    for (const std::string& name : body.getMemberNames()) {
        if (name != "data_id" && name != "signal" && name != "all" && name != "command_id") {
            error = "unknown member \"" + name + "\"";
            return false;
        }
    }
    AlarmAck ack = out;
    if (body.isMember("data_id")) {
        const Json::Value& id = body["data_id"];
        if (!id.isUInt()) {
            error = "\"data_id\" must be a whole number";
            return false;
        }
        ack.data_id = id.asUInt();
        ack.has_data_id = true;
    }
    const bool has_signal = body.isMember("signal");
    if (body.isMember("all")) {
        if (!body["all"].isBool() || !body["all"].asBool()) {
            error = "\"all\" can only be true";
            return false;
        }
        ack.all = true;
    }
    if (has_signal == ack.all) {
        error = "give either \"signal\" or \"all\": true";
        return false;
    }
    if (has_signal) {
        const Json::Value& s = body["signal"];
        if (!s.isString() || s.asString().empty() || s.asString().size() > kMaxSignalBytes) {
            error = "\"signal\" must be a signal name";
            return false;
        }
        ack.signal = s.asString();
    }
    if (body.isMember("command_id")) {
        const Json::Value& c = body["command_id"];
        if (!c.isString() || c.asString().empty() || c.asString().size() > kMaxCommandIdBytes) {
            error = "\"command_id\" must be a text of 1 to " + std::to_string(kMaxCommandIdBytes) +
                    " bytes";
            return false;
        }
        ack.command_id = c.asString();
    }
    out = std::move(ack);
    return true;
}

AlarmBoard::AlarmBoard(const std::vector<std::pair<unsigned, const SignalModel*>>& devices,
                       const AlarmLimits& limits, StatusSink& audit)
    : audit_(audit) {
    for (const auto& d : devices) {
        Device& device = devices_[d.first];
        device.machine = std::make_unique<AlarmMachine>(d.first, *d.second, limits);
        for (const std::string& name : device.machine->bit_names()) {
            const SignalTraits* traits = d.second->find(name);
            const bool two_texts = traits != nullptr && traits->row != nullptr &&
                                   traits->row->kind == kv830::SignalKind::Enum;
            device.on_text.push_back(two_texts ? traits->row->text1 : nullptr);
        }
        device.bits.resize(device.on_text.size());
    }
}

bool AlarmBoard::restore(AlarmJournal& journal, std::string& error) {
    std::vector<AlarmEvent> events;
    if (!journal.recent_alarm_events(kAlarmEventsKept * 10, events, error)) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const AlarmEvent& e : events) {
        const auto found = devices_.find(e.data_id);
        if (found == devices_.end()) {
            continue;
        }
        found->second.machine->restore(e);
        latest_.push_back(e);
        if (latest_.size() > kAlarmEventsKept) {
            latest_.pop_front();
        }
    }
    return true;
}

void AlarmBoard::announce() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!deliver_) {
        return;
    }
    for (const auto& d : devices_) {
        AlarmNews news;
        news.data_id = d.first;
        news.listed = d.second.machine->list();
        deliver_(news);
    }
}

void AlarmBoard::tell(unsigned data_id, Device& device, std::vector<AlarmEvent> events) {
    if (events.empty()) {
        return;
    }
    for (const AlarmEvent& e : events) {
        if (e.state == AlarmState::Raised) {
            ++device.raised[e.signal];
        }
        latest_.push_back(e);
        if (latest_.size() > kAlarmEventsKept) {
            latest_.pop_front();
        }
    }
    if (deliver_) {
        AlarmNews news;
        news.data_id = data_id;
        news.events = std::move(events);
        news.listed = device.machine->list();
        deliver_(news);
    }
}

void AlarmBoard::on_round(const Round& round) {
    if (round.from_history) {
        return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = devices_.find(round.data_id);
    if (found == devices_.end()) {
        return;
    }
    Device& device = found->second;
    std::vector<AlarmEvent> events;
    if (!round.completed) {
        device.machine->observe(round.end_unix_ms, nullptr, events);
    } else if (round.document.isObject()) {
        const std::vector<std::string>& names = device.machine->bit_names();
        for (std::size_t i = 0; i < names.size(); ++i) {
            // Bits are 0 or 1, discrete inputs the byte whole: anything but 0 is on. A
            // two-state register shows its texts.
            const Json::Value* v =
                round.document.find(names[i].data(), names[i].data() + names[i].size());
            const char* on_text = device.on_text[i];
            device.bits[i] =
                v != nullptr && (on_text != nullptr ? v->isString() && v->asString() == on_text
                                                    : v->isNumeric() && v->asDouble() != 0.0);
        }
        device.machine->observe(round.end_unix_ms, &device.bits, events);
    }
    tell(round.data_id, device, std::move(events));
}

AlarmAckOutcome AlarmBoard::acknowledge(const AlarmAck& ack_in) {
    AlarmAck ack = ack_in;
    AlarmAckOutcome outcome;
    WriteOutcome refused;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!ack.has_data_id && devices_.size() == 1) {
            ack.data_id = devices_.begin()->first;
            ack.has_data_id = true;
        }
        const auto found = devices_.find(ack.data_id);
        std::string error;
        std::vector<AlarmEvent> events;
        RemoteWrite as_write;
        as_write.command.data_id = ack.data_id;
        as_write.has_data_id = ack.has_data_id;
        as_write.command_id = ack.command_id;
        as_write.source = ack.source;
        as_write.retained = ack.retained;
        if (ack.retained) {
            refused = refused_outcome(WriteRefusal::Retained,
                                      "a retained message is not a live command; nothing was done");
        } else if (!ack.has_data_id) {
            refused = refused_outcome(WriteRefusal::UnknownDevice,
                                      "data_id is needed with several devices");
        } else if (found == devices_.end()) {
            refused = refused_outcome(WriteRefusal::UnknownDevice,
                                      "no device with data id " + std::to_string(ack.data_id));
        } else if (admit_ && !admit_(as_write, false, refused)) {
            // A command id carried out before: nothing else is looked at.
        } else {
            // Tried on a copy: the rule remembers a command id only for an acknowledgement
            // that acts, and one it refuses leaves the list as it was.
            AlarmMachine trial = *found->second.machine;
            if (!trial.acknowledge(ack.signal, ack.all, ack.source, wall_clock_ms(), events,
                                   error)) {
                refused = refused_outcome(WriteRefusal::Malformed, error);
            } else if (!admit_ || admit_(as_write, true, refused)) {
                *found->second.machine = std::move(trial);
                outcome.ok = true;
                outcome.acknowledged = static_cast<unsigned>(events.size());
                tell(ack.data_id, found->second, std::move(events));
            }
        }
    }
    if (!outcome.ok) {
        outcome.refusal = refused.refusal;
        outcome.reason = refused.reason;
    }
    audit_.write_line("", alarm_ack_audit_line(ack, outcome) + "\n");
    return outcome;
}

AlarmAckOutcome AlarmBoard::refuse(const AlarmAck& ack, const std::string& reason) {
    AlarmAckOutcome outcome;
    outcome.refusal = WriteRefusal::Malformed;
    outcome.reason = reason;
    audit_.write_line("", alarm_ack_audit_line(ack, outcome) + "\n");
    return outcome;
}

bool AlarmBoard::view(unsigned data_id, std::size_t events, std::vector<ListedAlarm>& listed,
                      std::vector<AlarmEvent>& latest) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = devices_.find(data_id);
    if (found == devices_.end()) {
        return false;
    }
    listed = found->second.machine->list();
    latest.clear();
    for (auto it = latest_.rbegin(); it != latest_.rend() && latest.size() < events; ++it) {
        if (it->data_id == data_id) {
            latest.push_back(*it);
        }
    }
    std::reverse(latest.begin(), latest.end());
    return true;
}

std::vector<unsigned> AlarmBoard::data_ids() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<unsigned> out;
    for (const auto& d : devices_) {
        out.push_back(d.first);
    }
    return out;
}

void AlarmBoard::describe_metrics(MetricsText& out) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (out.family("kv830_alarm_active", "gauge",
                   "1 while the alarm is active (the bit is on, or the link is lost), else 0.")) {
        for (const auto& d : devices_) {
            for (const ListedAlarm& a : d.second.machine->all()) {
                out.sample("kv830_alarm_active",
                           {
                               {"data_id",  std::to_string(d.first)           },
                               {"signal",   a.signal                          },
                               {"priority", kv830model::alarm_name(a.priority)}
                },
                           a.active ? 1ULL : 0ULL);
            }
        }
    }
    if (out.family("kv830_alarms_raised_total", "counter",
                   "Raise events since the program started (a chattering alarm is counted when it "
                   "settles).")) {
        for (const auto& d : devices_) {
            for (const ListedAlarm& a : d.second.machine->all()) {
                const auto n = d.second.raised.find(a.signal);
                out.sample("kv830_alarms_raised_total",
                           {
                               {"data_id", std::to_string(d.first)},
                               {"signal",  a.signal               }
                },
                           n == d.second.raised.end() ? 0ULL : n->second);
            }
        }
    }
}

Json::Value alarm_event_json(const AlarmEvent& e) {
    Json::Value v(Json::objectValue);
    v["data_id"] = e.data_id;
    v["signal"] = e.signal;
    v["priority"] = kv830model::alarm_name(e.priority);
    v["state"] = alarm_state_name(e.state);
    v["time"] = format_time_utc(e.unix_ms);
    v["by"] = e.by;
    if (e.changes != 0) {
        v["changes"] = e.changes;
    }
    return v;
}

Json::Value listed_alarm_json(const ListedAlarm& a) {
    Json::Value v(Json::objectValue);
    v["signal"] = a.signal;
    v["priority"] = kv830model::alarm_name(a.priority);
    v["since"] = format_time_utc(a.since);
    v["acknowledged"] = a.acknowledged;
    v["active"] = a.active;
    v["chattering"] = a.chattering;
    if (!a.active && a.cleared_at != 0) {
        v["cleared"] = format_time_utc(a.cleared_at);
    }
    return v;
}

std::string alarm_ack_audit_line(const AlarmAck& ack, const AlarmAckOutcome& outcome) {
    std::string line = "alarm acknowledgement from " +
                       (ack.source.empty() ? std::string("?") : ack.source) + ": data id ";
    line += ack.has_data_id ? std::to_string(ack.data_id) : std::string("-");
    line += ack.all ? ", all" : ", signal " + ack.signal;
    if (!ack.command_id.empty()) {
        line += ", command_id " + ack.command_id;
    }
    line += outcome.ok ? ": acknowledged " + std::to_string(outcome.acknowledged)
                       : ": refused (" + outcome.reason + ")";
    return line;
}

}  // namespace kv830host
