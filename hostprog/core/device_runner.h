// One controller as the program polls it: the device the plug-in made, what the host
// keeps of what it hands over (the published record), its status lines, the rounds it
// hands to the outputs and the writes waiting for it between its rounds.
#pragma once

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "device_list.h"
#include "modbus_link.h"
#include "options.h"
#include "output.h"
#include "plugin_loader.h"
#include "remote_write.h"
#include "round.h"
#include "status_lines.h"
#include "stop_signal.h"

namespace kv830host {

// The device's write result (read back after the write) and what the link saw, judged
// as what the user is told.
WriteOutcome judge_write(int device_result, const qdxhost::DriveResult& drive);
int exit_status_of(const WriteOutcome& outcome);

// Counts identical status lines in a row, so that a link that stays down is reported
// once and then summarised instead of flooding the log.
class RepeatSummary {
  public:
    // The text to print for this line: the line itself, "" while it repeats, or the
    // summary of the repeats before it followed by the line.
    std::string next(const std::string& key, const std::string& line);
    // The summary of repeats not yet reported, or "".
    std::string flush();

  private:
    std::string key_;
    unsigned long repeats_ = 0;
};

// What every device's runner shares, whatever line thread it runs on.
struct PollShared {
    explicit PollShared(StatusSink& s) : sink(s) {}

    StatusSink& sink;
    double interval_s = 1.0;
    long cycles = -1;           // -1: until a signal
    std::string settings_file;  // for messages about a device's settings
    bool device_list = false;   // the settings file lists "devices"
    bool several = false;       // more than one device: prefixed lines
    // Every output, in the order they were made; set before polling starts.
    std::vector<Output*> outputs;
    RoundNeeds needs;  // what the outputs together need of each round
    // An output that cannot go on asked for the polling to end.
    std::atomic<bool> stop_requested{false};
};

class HostObserver;

class DeviceRunner {
  public:
    DeviceRunner(DeviceOptions device, PollShared& shared);
    ~DeviceRunner();
    DeviceRunner(const DeviceRunner&) = delete;
    DeviceRunner& operator=(const DeviceRunner&) = delete;

    unsigned data_id() const { return opt_.data_id; }
    const qdxhost::LinkSettings& link_settings() const { return opt_.link; }
    // The device's own status lines ("[3] ..." with several devices).
    std::ostream& status() { return status_; }

    // Makes the device from the plug-in and hands it its data id and settings. On a
    // refusal, `exit_status` says whose fault it is.
    bool create(const PluginLoader& loader, const std::string& plugin, std::string& error,
                int& exit_status);
    // Detaches the host's observer and destroys the device (before the plug-in goes).
    void release();

    // The newest stored round of this device, served until the first new one.
    void serve_archived(RecordArchive& archive);

    // One polling round over `link`, reported to the status stream and the outputs.
    // Returns whether the link was down.
    bool poll_round(qdxhost::ModbusLink& link, long cycle);
    // The device shares its line with others: a silent one is then backed off.
    void share_line() { shared_line_ = true; }
    // Whether the device is due for a round now: always, unless it shares its line and
    // has answered nothing for a while (then every so often).
    bool due(std::chrono::steady_clock::time_point now) const { return now >= next_due_; }
    // Rounds polled, and the line's cycles it was passed over in.
    unsigned long long rounds_attempted() const { return rounds_attempted_.load(); }
    // "data id 3: 0 of 10 rounds completed (the controller answered nothing)"
    std::string summary(long cycles) const;

    // Writes: queued from any thread, run on the line's thread between rounds.
    void queue_write(const WriteCommand& command, WriteDone done);
    void run_pending_writes(qdxhost::ModbusLink& link);
    // The command line's --write, before any round; returns the exit status it earns.
    int write_now(qdxhost::ModbusLink& link, const WriteRequest& request);

    // The device's snapshot as it stands (request 801); false when the device refused.
    bool current_snapshot(std::string& text);
    // The repeats not yet reported.
    void finish();

    unsigned long long rounds_completed() const { return rounds_completed_.load(); }

  private:
    WriteOutcome perform_write(qdxhost::ModbusLink& link, const WriteCommand& command);
    // After a round: a device that answered nothing for a few rounds in a row on a shared
    // line is backed off; one that answers again is polled every cycle again.
    void follow_silence(const qdxhost::DriveResult& drive, bool link_down, Round& round);
    std::shared_ptr<Round> make_round(bool completed);
    void hand_out(const RoundPtr& round, bool served);

    const DeviceOptions opt_;
    PollShared& shared_;
    StatusStream status_;
    std::unique_ptr<QDXSPDevice> device_;
    SPModbus* modbus_ = nullptr;
    std::unique_ptr<HostObserver> observer_;
    RepeatSummary repeats_;
    std::int64_t last_completed_ms_ = 0;
    std::atomic<unsigned long long> rounds_completed_{0};
    std::atomic<unsigned long long> rounds_attempted_{0};
    bool shared_line_ = false;
    int silent_rounds_ = 0;
    std::chrono::steady_clock::duration silent_wait_{};
    std::chrono::steady_clock::time_point next_due_{};
    std::string last_failure_;
    std::mutex writes_mutex_;
    std::deque<std::pair<WriteCommand, WriteDone>> pending_writes_;
};

}  // namespace kv830host
