// The seam every output of kv830-host plugs into: standard output, the history, MQTT, HTTP
// and whatever comes next. The core polls and hands each round to every output through
// Output; an output reaches the rest of the program only through OutputContext, so that
// it includes the core and never another output.
#pragma once

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "alarm_board.h"
#include "exit_status.h"
#include "gateway_members.h"
#include "metrics_text.h"
#include "option_table.h"
#include "remote_write.h"
#include "round.h"
#include "round_archive.h"
#include "status_lines.h"
#include "trend.h"

namespace kv830host {

// What an output needs of every completed round beyond its counters and record: the
// device's snapshot is fetched and parsed once per round, and only when someone reads it.
struct RoundNeeds {
    bool snapshot = false;  // the 801 text
    bool document = false;  // the same as a parsed document
};

// A device as the outputs know it.
struct DeviceInfo {
    unsigned data_id = 0;
    int slave = 0;     // its address on its line (the unit id over TCP)
    std::string link;  // its line, as the start line names it
    // The gateway's own members of its settings (never the device's): its signal model in
    // engineering units, its Modbus server unit.
    GatewayMembers gateway;
};

class Output {
  public:
    virtual ~Output() = default;

    // Once every device is made, before the first round. A false return (with `error`)
    // ends the start with exit status 1; outputs started before are stopped again.
    virtual bool start(std::string& error) = 0;
    // Every round of every device, completed or failed, on the polling thread of the
    // device's line (with several lines, from several threads at once). Must not wait on
    // anything slow: copy, or hand on to a thread of the output's own.
    virtual void on_round(const RoundPtr& round) = 0;
    // A record served from the history at start, before the device's first round.
    virtual void on_served(const RoundPtr& round) { static_cast<void>(round); }
    // A change of a device's alarms (alarm_board.h): on the polling thread for the rounds'
    // events, on the asking thread for an acknowledgement, one at a time. Copy and hand on.
    virtual void on_alarms(const AlarmNews& news) { static_cast<void>(news); }
    // The output's own families, at every scrape of /metrics, on a server thread.
    virtual void describe_metrics(MetricsText& out) const { static_cast<void>(out); }
    // A few facts for the page's status line ({"clients": 3, ...}), under the output's
    // name, on a server thread.
    virtual void describe_status(Json::Value& out) const { static_cast<void>(out); }
    // A few words for the program's start line ("history kv830-history.db"), or "".
    virtual std::string describe() const { return ""; }
    // A short note for the device's next cycle line on the status stream ("history: file
    // locked, 12 rounds waiting"), empty while all is well. On the polling thread.
    virtual std::string cycle_note(unsigned data_id) const {
        static_cast<void>(data_id);
        return "";
    }
    // Once the polling has ended, in the order the outputs were made. May wait, within a
    // bound of its own, for what it still holds to go out, and says on the status stream
    // what it could not do.
    virtual void stop() = 0;
    // After stop(): the exit status that what the output could not do earns (rounds not
    // saved or not delivered), 0 for none.
    virtual int exit_status() const { return 0; }

    virtual RoundNeeds needs() const { return {}; }
};

// A record the history kept, as the core serves it until a device's first round.
struct ArchivedRecord {
    std::int64_t unix_ms = 0;
    std::vector<unsigned char> record;
    // How the status lines name it: "the record stored at 2026-12-08T08:31:50.123+01:00
    // (history row 12)".
    std::string described;
    std::string note;  // a line about rows passed over, or ""
};

// What an output that keeps rounds offers the core at start.
class RecordArchive {
  public:
    virtual ~RecordArchive() = default;
    // The newest stored record of the device that the device can take (kRecordSize bytes);
    // false when there is none (`error` empty) or the file cannot be read (`error` set).
    virtual bool newest_record(unsigned data_id, ArchivedRecord& out, std::string& error) = 0;
};

// How the command line shapes the run, for the kinds that depend on it.
struct RunShape {
    long cycles = -1;            // --cycles N, -1 until a signal
    bool cycles_given = false;   // --cycles was on the command line
    bool console_write = false;  // --write runs before any round
    std::string settings_file;   // "" without one
};

// What the core and the outputs offer one another. Filled by the program before the outputs
// are made; an output that offers a service (the history's trends) sets it while it is
// made, and those made after it find it set.
struct OutputContext {
    std::vector<DeviceInfo> devices;  // in the settings document's order
    std::string plugin_path;          // the driver the devices come from
    // The gateway's name (node_id.h): in client ids and discovery ids, so that two gateways
    // never announce one device between them. Resolved once the outputs are made.
    std::string node_id;
    double interval_s = 1.0;
    RunShape run;
    StatusSink* status = nullptr;
    // Standard output, kept apart from the driver's own lines (which go to the log).
    int out_fd = -1;
    // The one rule every write from outside the process goes through.
    RemoteWrites* writes = nullptr;
    // Every output's families, as /metrics serves them.
    std::function<void(MetricsText&)> collect_metrics;
    // Every output's status facts, one member per output that has any.
    std::function<void(Json::Value&)> collect_status;
    // The rounds kept on file, for trends and for serving at start; null without a history.
    TrendSource* trends = nullptr;
    RecordArchive* archive = nullptr;
    // The rounds kept on file for an output that delivers them later; null without a
    // history.
    RoundArchive* round_archive = nullptr;
    // The alarms of every device and their acknowledgement; always set. The history sets
    // the journal they are rebuilt from at start; null without one.
    AlarmBoard* alarms = nullptr;
    AlarmJournal* alarm_journal = nullptr;
    // The device's snapshot as it stands (request 801): on the device's polling thread
    // while polling runs, on any thread once it has ended. False when the device refused.
    std::function<bool(unsigned data_id, std::string& text)> current_snapshot;
    // Ends the polling after the round under way, for an output that cannot go on (nobody
    // reads standard output any more).
    std::function<void()> stop_polling;
};

// One kind of output as the program knows it before it exists: its command-line rows,
// the check of its settings once the whole command line is read, and the output itself
// when its options ask for one. The program's list of these is the only place that names
// the outputs.
class OutputKind {
  public:
    virtual ~OutputKind() = default;
    virtual const char* name() const = 0;
    // Rows appended to the option table; they write into the kind's own settings.
    virtual std::vector<kv830cli::Option> option_rows() = 0;
    // After parsing, with the devices known and before any is made: refuses settings that
    // do not hold together (options given without the option that enables them among them),
    // whether or not the output is on. A refusal exits 2.
    virtual bool check(const OutputContext& context, std::string& error) = 0;
    // The output when its options ask for one, else null (and `error` empty). Made before
    // any link opens; a refusal (settings that only the whole program can judge) exits 2.
    virtual std::unique_ptr<Output> make(OutputContext& context, std::string& error) = 0;
    // The file the kind keeps its state in when it is on (the history's), or "": the
    // program keeps its own small files (the node id) beside the first one.
    virtual std::string state_file() const { return ""; }
};

}  // namespace kv830host
