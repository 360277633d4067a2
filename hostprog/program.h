// kv830-host as a library: the polling program that main() runs, callable in-process.
//
// Standard output carries snapshots only (on the descriptor given to the program); the
// cycle, link and write reports go to the status stream.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "device_runner.h"
#include "line_runner.h"
#include "options.h"
#include "output.h"
#include "sd_notify.h"
#include "status_lines.h"
#include "write_policy.h"

namespace kv830host {

void install_signal_handlers();

// Every kind of output the program has, in the order they are made, started and stopped:
// the history first, so that a stop within a service manager's timeout commits every round
// before anything slower runs. The only place that names the outputs.
std::vector<std::unique_ptr<OutputKind>> make_output_kinds();

// The whole command line: the core's options and each output kind with its own.
struct ProgramOptions {
    Options core;
    std::vector<std::unique_ptr<OutputKind>> outputs;
};

// Parses argv (and the settings file) into `out` and checks every output kind's settings.
bool parse_program_options(int argc, const char* const* argv, ProgramOptions& out,
                           std::string& error,
                           const std::string& default_settings_file = kDefaultSettingsFile);
std::string program_usage(const char* program);

class Program {
  public:
    using Watcher = std::function<void(const RoundPtr&)>;

    // Snapshots go to `out_fd`; reports to `status`.
    Program(ProgramOptions options, int out_fd, std::ostream& status);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Called on the polling thread of the device's line after every round of a device;
    // with several lines from several threads at once, so a watcher only copies, under a
    // lock of its own. Add before run().
    void add_watcher(Watcher watcher);
    // The one rule every remote write goes through; callable from any thread while run()
    // is under way.
    RemoteWrites& remote_writes() { return *policy_; }
    AlarmBoard& alarm_board() { return *alarms_; }

    int run();

  private:
    class WatcherOutput;
    class AlarmFeed;

    void build_context();
    bool resolve_node();
    int make_outputs();
    bool start_outputs();
    void stop_outputs();
    int start_devices(const PluginLoader& loader);
    int start_lines();
    void poll_lines();
    DeviceRunner* device_of(unsigned data_id);
    std::string start_line(const DeviceOptions& device) const;
    // Between cycles: a rotated log reopened, the service manager told the loop lives.
    void housekeeping();
    void reopen_log();
    void abandon_start();
    int end_status(int status);

    ProgramOptions opt_;
    int out_fd_;
    StatusSink sink_;
    StatusStream status_;
    PollShared shared_;
    OutputContext context_;
    std::unique_ptr<WritePolicy> policy_;
    // Before the outputs, which hold it until they are gone.
    std::unique_ptr<AlarmBoard> alarms_;
    std::string plugin_path_;
    std::vector<std::unique_ptr<Output>> outputs_;
    std::size_t started_ = 0;  // outputs started, in order
    std::vector<std::unique_ptr<DeviceRunner>> devices_;
    std::vector<std::unique_ptr<LineRunner>> lines_;
    ServiceNotifier notifier_;
    std::chrono::steady_clock::time_point last_watchdog_{};
};

// The whole program behind main(): options, standard output set aside for snapshots,
// the log, the signals, and the subcommands.
int run_main(int argc, const char* const* argv);

}  // namespace kv830host
