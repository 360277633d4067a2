// kv830-host as a library: the polling program that main() runs, callable in-process.
//
// Standard output carries snapshots only (on the descriptor given to the program); the
// cycle, link and write reports go to the status stream.
#pragma once

#include <atomic>
#include <csignal>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cycle_report.h"
#include "device_runner.h"
#include "history_decoder.h"
#include "history_store.h"
#include "history_writer.h"
#include "http_server.h"
#include "line_runner.h"
#include "modbus_link.h"
#include "mqtt_publisher.h"
#include "options.h"
#include "plant_state.h"
#include "sd_notify.h"
#include "status_lines.h"

namespace kv830host {

void install_signal_handlers();

class Program {
  public:
    using Watcher = CycleWatcher;

    // Snapshots go to `out_fd`; reports to `status`.
    Program(Options options, int out_fd, std::ostream& status);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Called on the polling thread of the device's line after every cycle of a device;
    // with several lines from several threads at once, so a watcher only copies, under a
    // lock of its own.
    void add_watcher(Watcher watcher);
    // Hands writes to the polling thread of the device with the command's data id, which
    // runs them between that device's rounds and calls their `done` there; a write for
    // an unknown data id is refused at once. Callable from any thread while run() is
    // under way.
    WriteSubmitter write_submitter();

    int run();

  private:
    int start_devices(const PluginLoader& loader);
    int start_lines();
    void poll_lines();
    DeviceRunner* device_of(unsigned data_id);
    // Between cycles: a rotated log reopened, the service manager told the loop lives.
    void housekeeping();
    void reopen_log();
    bool check_outputs(std::string& error);
    bool start_watchers(std::string& error);
    bool start_mqtt(std::string& error);
    bool open_history(std::string& error);
    void finish_history();
    void abandon_start();
    bool start_http(std::string& error);
    void stop_watchers();
    HistoryAnswer answer_history(const HistoryRequest& request);

    Options opt_;
    int out_fd_;
    StatusSink sink_;
    StatusStream status_;
    PollShared shared_;
    HistoryStore history_;
    std::unique_ptr<HistoryWriter> writer_;
    std::string plugin_path_;
    std::vector<ServedWatcher> served_watchers_;
    std::vector<std::unique_ptr<MqttPublisher>> mqtt_;
    std::unique_ptr<PlantState> plant_;
    std::unique_ptr<HttpServer> http_;
    std::mutex series_mutex_;
    HistoryStore series_store_;
    HistoryDecoder series_decoder_;
    bool series_decoder_loaded_ = false;
    std::vector<std::unique_ptr<DeviceRunner>> devices_;
    std::vector<std::unique_ptr<LineRunner>> lines_;
    std::vector<Watcher> watchers_;
    ServiceNotifier notifier_;
    std::chrono::steady_clock::time_point last_watchdog_{};
};

// The whole program behind main(): options, standard output set aside for snapshots,
// the log, the signals.
int run_main(int argc, const char* const* argv);

}  // namespace kv830host
