// The seam every output of kv830-host plugs into: standard output, the history, MQTT, HTTP
// and whatever comes next. The core polls and hands each round to every output through
// Output; an output reaches the rest of the program only through OutputContext, so that
// it includes the core and never another output.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "metrics_text.h"
#include "option_table.h"
#include "remote_write.h"
#include "round.h"
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
    int slave = 0;        // its address on its line (the unit id over TCP)
    std::string link;     // its line, as the start line names it
    Json::Value gateway;  // the gateway's own members of its settings (never the device's)
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
    // The output's own families, at every scrape of /metrics, on a server thread.
    virtual void describe_metrics(MetricsText& out) const { static_cast<void>(out); }
    // A few facts for the page's status line ({"clients": 3, ...}), under the output's
    // name, on a server thread.
    virtual void describe_status(Json::Value& out) const { static_cast<void>(out); }
    // Once the polling has ended. May wait, within a bound of its own, for what it still
    // holds to go out.
    virtual void stop() = 0;
    // After stop(): whether the output fell short of its job in a way the exit status
    // reports (rounds it could not deliver), with the line that says so.
    virtual bool fell_short(std::string& why) const {
        static_cast<void>(why);
        return false;
    }

    virtual RoundNeeds needs() const { return {}; }
};

// What the core and the outputs offer one another. Filled by the program before the outputs
// are made; an output that offers a service (the history's trends) sets it while it is
// made, and those made after it find it set.
struct OutputContext {
    std::vector<DeviceInfo> devices;  // in the settings document's order
    double interval_s = 1.0;
    long cycles = -1;  // --cycles N, -1 until a signal
    StatusSink* status = nullptr;
    // The one rule every write from outside the process goes through.
    RemoteWrites* writes = nullptr;
    // Every output's families, as /metrics serves them.
    std::function<void(MetricsText&)> collect_metrics;
    // Every output's status facts, one member per output that has any.
    std::function<void(Json::Value&)> collect_status;
    // The rounds kept on file, for trends; null without a history.
    TrendSource* trends = nullptr;
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
};

}  // namespace kv830host
