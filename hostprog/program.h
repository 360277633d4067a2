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
#include "history_decoder.h"
#include "history_store.h"
#include "history_writer.h"
#include "http_server.h"
#include "modbus_link.h"
#include "mqtt_publisher.h"
#include "options.h"
#include "plant_state.h"
#include "sd_notify.h"

namespace kv830host {

// The first SIGINT ends the program after the cycle under way, a second one abandons the
// exchange under way; SIGTERM does both at once, so that a service stops promptly.
// SIGHUP asks for the log to be reopened (after it was rotated).
// A process-directed signal runs its handler on any thread that does not block it (the
// publisher's, the server's, the history writer's), while the cycle reads the flags on
// the main thread: lock-free atomics are safe in a handler and between threads, where a
// volatile sig_atomic_t is safe only within one thread.
struct StopFlags {
    std::atomic<int> stop{0};
    std::atomic<int> abort{0};
    std::atomic<int> reopen_log{0};
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handlers need lock-free flags");
StopFlags& stop_flags();
void install_signal_handlers();

// The device's write result (read back after the write) and what the link saw, judged
// as what the user is told.
WriteOutcome judge_write(int device_result, const qdxhost::DriveResult& drive);
int exit_status_of(const WriteOutcome& outcome);
// "confirmed", "refused (exception 2)", ...
std::string describe_write_outcome(const WriteOutcome& outcome);

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

class HostObserver;

class Program {
  public:
    using Watcher = std::function<void(const CycleReport&)>;

    // Snapshots go to `out_fd`; reports to `status`.
    Program(Options options, int out_fd, std::ostream& status);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Called on the polling thread after every cycle; a watcher only copies.
    void add_watcher(Watcher watcher);
    // Hands writes to the polling thread, which runs them between cycles and calls their
    // `done` there; callable from any thread while run() is under way.
    WriteSubmitter write_submitter();

    int run();

  private:
    bool emit_snapshot();
    int do_write(SPModbus& modbus);
    WriteOutcome perform_write(SPModbus& modbus, const WriteCommand& command);
    void run_pending_writes(SPModbus& modbus);
    void run_cycles(SPModbus& modbus);
    void load_cache();
    bool init_device(std::string& error);
    void sleep_until(std::chrono::steady_clock::time_point t);
    void report(const CycleReport& r);
    // Between cycles: a rotated log reopened, the service manager told the loop lives.
    void housekeeping();
    void reopen_log();
    bool start_watchers(std::string& error);
    bool open_history(std::string& error);
    void finish_history();
    void abandon_start();
    bool start_http(std::string& error);
    void stop_watchers();
    HistoryAnswer answer_history(const HistoryRequest& request);

    Options opt_;
    int out_fd_;
    std::ostream& status_;
    HistoryStore history_;
    std::unique_ptr<HistoryWriter> writer_;
    std::string plugin_path_;
    // Told of a record served from the history at start: not a new cycle, but the page
    // shows it (flagged) until one completes.
    std::vector<std::function<void(const std::string&, std::int64_t)>> served_watchers_;
    std::int64_t served_round_ms_ = 0;
    std::unique_ptr<MqttPublisher> mqtt_;
    std::unique_ptr<PlantState> plant_;
    std::unique_ptr<HttpServer> http_;
    std::mutex series_mutex_;
    HistoryStore series_store_;
    HistoryDecoder series_decoder_;
    bool series_decoder_loaded_ = false;
    std::unique_ptr<HostObserver> observer_;
    QDXSPDevice* device_ = nullptr;
    std::unique_ptr<qdxhost::ModbusLink> link_;
    std::vector<Watcher> watchers_;
    std::mutex writes_mutex_;
    std::deque<std::pair<WriteCommand, WriteDone>> pending_writes_;
    ServiceNotifier notifier_;
    std::chrono::steady_clock::time_point last_watchdog_{};
    bool output_failed_ = false;
    unsigned long long rounds_completed_ = 0;
};

// The whole program behind main(): options, standard output set aside for snapshots,
// the log, the signals.
int run_main(int argc, const char* const* argv);

}  // namespace kv830host
