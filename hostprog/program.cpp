#include "program.h"

#include <fcntl.h>
#include <json/value.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "file_io.h"
#include "history_decoder.h"
#include "history_export.h"
#include "history_series.h"
#include "http_server.h"
#include "metrics.h"
#include "mqtt_publisher.h"
#include "plant_state.h"
#include "plugin_loader.h"
#include "web_assets.h"

namespace kv830host {

namespace {

// Often enough for any watchdog period a unit would set.
constexpr auto kWatchdogEvery = std::chrono::milliseconds(1000);
// How often the main thread looks after the log and the watchdog while lines poll.
constexpr auto kHousekeepingSlice = std::chrono::milliseconds(50);
constexpr mode_t kLogFileMode = 0644;

StopFlags g_flags;

extern "C" void on_interrupt(int) {
    if (g_flags.stop != 0) {
        g_flags.abort = 1;
    }
    g_flags.stop = 1;
}

extern "C" void on_terminate(int) {
    g_flags.abort = 1;
    g_flags.stop = 1;
}

extern "C" void on_hangup(int) {
    g_flags.reopen_log = 1;
}

}  // namespace

StopFlags& stop_flags() {
    return g_flags;
}

void install_signal_handlers() {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_interrupt;
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_terminate;
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_hangup;
    sigaction(SIGHUP, &sa, nullptr);
    // A closed pipe on standard output or a dropped TCP peer is an error to report,
    // not a reason to die with the history half written.
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
}

Program::Program(Options options, int out_fd, std::ostream& status)
    : opt_(std::move(options)),
      out_fd_(out_fd),
      sink_(status),
      status_(sink_, ""),
      shared_(opt_, out_fd_, sink_) {
    if (opt_.devices.empty()) {
        // Options made by hand rather than parsed: the one device they describe.
        opt_.devices = {
            DeviceOptions{opt_.data_id, opt_.settings, opt_.link}
        };
    }
    shared_.several = opt_.devices.size() > 1;
    shared_.watchers = &watchers_;
}

Program::~Program() {
    for (auto& line : lines_) {
        line->join();
    }
    lines_.clear();
    devices_.clear();
}

void Program::add_watcher(Watcher watcher) {
    watchers_.push_back(std::move(watcher));
}

void Program::reopen_log() {
    g_flags.reopen_log = 0;
    if (opt_.log_file.empty()) {
        return;
    }
    std::cout.flush();
    const int fd =
        ::open(opt_.log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kLogFileMode);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) {
        status_ << "kv830-host: cannot reopen log " << opt_.log_file << ": " << std::strerror(errno)
                << "; the old one is kept" << std::endl;
    } else {
        status_ << "kv830-host: log " << opt_.log_file << " reopened" << std::endl;
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

void Program::housekeeping() {
    if (g_flags.reopen_log != 0) {
        reopen_log();
    }
    const auto now = std::chrono::steady_clock::now();
    if (!notifier_.enabled() || now - last_watchdog_ < kWatchdogEvery) {
        return;
    }
    // Alive only while every line still polling makes progress: one stuck line is enough
    // for the service manager to restart the program.
    for (const auto& line : lines_) {
        if (!line->finished() && now - line->last_progress() > line->stuck_after()) {
            return;
        }
    }
    notifier_.notify("WATCHDOG=1");
    last_watchdog_ = now;
}

DeviceRunner* Program::device_of(unsigned data_id) {
    for (const auto& device : devices_) {
        if (device->data_id() == data_id) {
            return device.get();
        }
    }
    return nullptr;
}

WriteSubmitter Program::write_submitter() {
    return [this](const WriteCommand& command, WriteDone done) {
        // A single device refuses another data id itself, in turn with the writes queued
        // before it.
        DeviceRunner* device =
            devices_.size() == 1 ? devices_.front().get() : device_of(command.data_id);
        if (device != nullptr) {
            device->queue_write(command, std::move(done));
            return;
        }
        // Nothing is sent for a device this program does not poll.
        WriteOutcome outcome;
        outcome.kind = WriteOutcome::Kind::Refused;
        outcome.reason = "no device with data id " + std::to_string(command.data_id);
        // Straight to the sink: this runs on the asking thread (MQTT, HTTP), not ours.
        sink_.write_line("", "write of " + std::to_string(command.values.size()) +
                                 " register(s) from " + std::to_string(command.address) +
                                 " asked from outside: " + describe_write_outcome(outcome) + "\n");
        if (done) {
            done(outcome);
        }
    };
}

bool Program::check_outputs(std::string& error) {
    if (opt_.output_file.empty()) {
        return true;
    }
    for (const DeviceOptions& device : opt_.devices) {
        const std::string path = expand_data_id(opt_.output_file, device.data_id);
        if (!kv830io::check_folder_writable(path, error)) {
            error.insert(0, "--output " + path + ": ");
            return false;
        }
    }
    return true;
}

// One publisher per device: each its own topics, client id, last will and discovery.
bool Program::start_mqtt(std::string& error) {
    if (shared_.several && !opt_.mqtt.topic_prefix.empty() &&
        !has_data_id_field(opt_.mqtt.topic_prefix)) {
        error = "--mqtt-topic: with several devices each needs topics of its own; put " +
                std::string(kDataIdField) + " in the prefix";
        return false;
    }
    for (const DeviceOptions& device : opt_.devices) {
        MqttSettings settings = opt_.mqtt;
        settings.topic_prefix = expand_data_id(settings.topic_prefix, device.data_id);
        MqttConfig config;
        if (!check_mqtt_settings(settings, device.data_id, opt_.interval_s, local_host_name(),
                                 config, error)) {
            return false;
        }
        mqtt_.push_back(std::make_unique<MqttPublisher>(config));
        mqtt_.back()->set_write_submitter(write_submitter());
        add_watcher([m = mqtt_.back().get(), id = device.data_id](const CycleReport& r) {
            if (r.data_id == id) {
                m->submit(r);
            }
        });
    }
    return true;
}

bool Program::start_watchers(std::string& error) {
    if (mqtt_enabled(opt_.mqtt) && !start_mqtt(error)) {
        return false;
    }
    if (opt_.http.enabled) {
        if (!check_http_settings(opt_.http, error)) {
            return false;
        }
        plant_ = std::make_unique<PlantState>(opt_.interval_s);
        add_watcher([p = plant_.get()](const CycleReport& r) { p->on_cycle(r); });
        served_watchers_.emplace_back(
            [p = plant_.get()](unsigned data_id, const std::string& text, std::int64_t unix_ms) {
                p->serve_from_history(data_id, text, unix_ms);
            });
    }
    return true;
}

// The page's trends read the history through a store and a device of their own, so that
// a slow query never holds the polling thread or the writer.
HistoryAnswer Program::answer_history(const HistoryRequest& request) {
    HistoryAnswer answer;
    std::lock_guard<std::mutex> lock(series_mutex_);
    std::string error;
    if (!series_store_.is_open() &&
        !series_store_.open(opt_.history_file, HistoryStore::Access::ReadOnly, error)) {
        answer.refusal = "history: " + error;
        return answer;
    }
    if (!series_decoder_loaded_) {
        if (!series_decoder_.load(plugin_path_, error)) {
            answer.refusal = "history: " + error;
            return answer;
        }
        series_decoder_loaded_ = true;
    }
    SeriesQuery query;
    query.data_id = request.data_id;
    query.signal = request.signal;
    query.from_ms = request.from_ms;
    query.to_ms = request.to_ms;
    query.points = request.points;
    SeriesResult result;
    if (!read_series(series_store_, series_decoder_, query, result)) {
        answer.refusal = result.error;
        return answer;
    }
    answer.ok = true;
    answer.points.reserve(result.points.size());
    for (const SeriesPoint& point : result.points) {
        answer.points.push_back({point.unix_ms, point.value, point.value});
    }
    return answer;
}

bool Program::start_http(std::string& error) {
    if (!plant_) {
        return true;
    }
    plant_->add_metrics_source([this](MetricsText& out) {
        if (writer_) {
            const HistoryWriterStatus h = writer_->status();
            out.family("kv830_history_rows_written_total", "counter",
                       "Rounds committed to the history since the program started.");
            out.sample("kv830_history_rows_written_total", {}, h.saved);
            out.family("kv830_history_rows_pending", "gauge",
                       "Rounds waiting in memory for the next commit.");
            out.sample("kv830_history_rows_pending", {}, h.pending);
            out.family("kv830_history_rows_dropped_total", "counter",
                       "Rounds given up because the history could not take them in time.");
            out.sample("kv830_history_rows_dropped_total", {}, h.dropped);
        }
        if (!mqtt_.empty()) {
            MqttCounters all;
            for (const auto& publisher : mqtt_) {
                const MqttCounters c = publisher->counters();
                all.queue_depth += c.queue_depth;
                all.dropped += c.dropped;
                all.published += c.published;
            }
            write_mqtt_metrics(out, all.queue_depth, all.dropped, all.published);
        }
    });
    http_ = std::make_unique<HttpServer>(*plant_);
    static std::vector<HttpAsset> assets;
    if (assets.empty()) {
        for (std::size_t i = 0; i < kWebAssetCount; ++i) {
            const WebAsset& a = kWebAssets[i];
            assets.push_back({a.path, a.content_type, a.gzip, a.gzip_size});
        }
    }
    http_->set_assets(assets.data(), assets.size());
    if (opt_.history) {
        http_->set_history_query(
            [this](const HistoryRequest& request) { return answer_history(request); });
    }
    if (opt_.http.writes) {
        http_->enable_writes(opt_.http.token, write_submitter());
    }
    if (!http_->start(opt_.http.address, opt_.http.port, error)) {
        http_.reset();
        return false;
    }
    status_ << "kv830-host: serving http://" << opt_.http.address << ":" << http_->port() << "/"
            << std::endl;
    return true;
}

void Program::stop_watchers() {
    if (http_) {
        http_->stop();
        http_.reset();
    }
    for (auto& publisher : mqtt_) {
        publisher->stop();
    }
    mqtt_.clear();
}

bool Program::open_history(std::string& error) {
    // A run that only serves what is stored needs no right to write.
    const auto access =
        opt_.cycles == 0 ? HistoryStore::Access::ReadOnly : HistoryStore::Access::ReadWrite;
    if (!history_.open(opt_.history_file, access, error)) {
        return false;
    }
    history_.set_policy(opt_.history_settings.policy());
    if (!history_.read_only()) {
        writer_ = std::make_unique<HistoryWriter>(history_, opt_.history_settings.writer_options());
    }
    return true;
}

void Program::finish_history() {
    if (!writer_) {
        return;
    }
    writer_->stop();
    const HistoryWriterStatus h = writer_->status();
    status_ << "kv830-host: " << h.saved << " rounds saved to " << opt_.history_file;
    if (h.pending != 0 || h.dropped != 0) {
        status_ << ", " << history_status_text(h);
        devices_.front()->count_save_failure();
    }
    status_ << std::endl;
}

// Start failed after the devices were made: nothing polled, nothing left running.
void Program::abandon_start() {
    stop_watchers();
    if (writer_) {
        writer_->stop();
    }
    lines_.clear();
    devices_.clear();
}

// Every device made from the one provider, with its own data id and settings, before
// any link opens: a refused settings entry opens nothing.
int Program::start_devices(const PluginLoader& loader) {
    for (const DeviceOptions& options : opt_.devices) {
        devices_.push_back(std::make_unique<DeviceRunner>(options, shared_));
        std::string error;
        int exit_status = kExitFailure;
        if (!devices_.back()->create(loader, plugin_path_, error, exit_status)) {
            status_ << "kv830-host: " << error << std::endl;
            abandon_start();
            return exit_status;
        }
    }
    return kExitOk;
}

// Devices on one serial line, or behind one TCP peer, share its link: a line carries one
// request at a time whoever asks, and a gateway serialises its units anyway (many also
// take only a few connections).
int Program::start_lines() {
    std::map<std::string, LineRunner*> by_key;
    for (const auto& device : devices_) {
        const std::string key = line_key(device->link_settings());
        auto found = by_key.find(key);
        if (found == by_key.end()) {
            lines_.push_back(std::make_unique<LineRunner>(device->link_settings(), shared_));
            found = by_key.emplace(key, lines_.back().get()).first;
        }
        found->second->add(*device);
    }
    for (const auto& line : lines_) {
        std::string error;
        if (!line->open_at_start(error)) {
            status_ << "kv830-host: " << error << std::endl;
            abandon_start();
            return kExitFailure;
        }
    }
    return kExitOk;
}

// One line polls on this thread, as a single device always has; several poll on threads
// of their own while this one looks after the log and the watchdog.
void Program::poll_lines() {
    if (lines_.size() == 1) {
        lines_.front()->run([this] { housekeeping(); });
        return;
    }
    for (const auto& line : lines_) {
        line->start();
    }
    for (;;) {
        housekeeping();
        const bool all_finished = std::all_of(lines_.begin(), lines_.end(),
                                              [](const auto& line) { return line->finished(); });
        if (all_finished) {
            break;
        }
        std::this_thread::sleep_for(kHousekeepingSlice);
    }
    for (const auto& line : lines_) {
        line->join();
    }
}

int Program::run() {
    std::string error;
    if (!check_outputs(error)) {
        status_ << "kv830-host: " << error << std::endl;
        return kExitUsage;
    }
    if (!start_watchers(error)) {
        status_ << "kv830-host: " << error << std::endl;
        return kExitUsage;
    }
    if (opt_.history && !open_history(error)) {
        status_ << "kv830-host: " << error << std::endl;
        return kExitFailure;
    }
    shared_.writer = writer_.get();
    PluginLoader loader;
    plugin_path_ = opt_.plugin.empty() ? default_plugin_path() : opt_.plugin;
    if (!loader.load(plugin_path_, error)) {
        status_ << "kv830-host: " << error << std::endl;
        return kExitFailure;
    }
    int status = start_devices(loader);
    if (status != kExitOk) {
        return status;
    }
    status = start_lines();
    if (status != kExitOk) {
        return status;
    }
    for (const DeviceOptions& device : opt_.devices) {
        status_ << "kv830-host: " << plugin_path_ << ", data id " << device.data_id << ", link "
                << device.link.describe() << ", timeout " << device.link.timeout_ms
                << " ms, retries " << device.link.retries << ", history "
                << (opt_.history ? opt_.history_file : std::string("off")) << std::endl;
    }
    if (opt_.history) {
        for (const auto& device : devices_) {
            device->load_cache(history_, served_watchers_);
        }
    }
    if (writer_) {
        writer_->start();
    }
    for (auto& publisher : mqtt_) {
        if (!publisher->start(error)) {
            status_ << "kv830-host: MQTT: " << error << std::endl;
        }
    }
    if (!start_http(error)) {
        status_ << "kv830-host: HTTP: " << error << std::endl;
        abandon_start();
        return kExitFailure;
    }
    notifier_.notify("READY=1");

    if (opt_.write.present) {
        DeviceRunner* target = device_of(opt_.data_id);
        for (const auto& line : lines_) {
            const auto& on_line = line->devices();
            if (std::find(on_line.begin(), on_line.end(), target) != on_line.end()) {
                status = target->write_now(line->link(), opt_.write);
            }
        }
    }
    poll_lines();
    notifier_.notify("STOPPING=1");
    if (g_flags.stop != 0) {
        status_ << "kv830-host: stopped by signal" << std::endl;
    }
    // The history is committed before anything slower, so that a stop within a service
    // manager's timeout keeps every round.
    finish_history();
    stop_watchers();
    // --watch has shown every cycle's snapshot already; a lone write shows none.
    const bool final_snapshot = !shared_.output_failed && !(opt_.watch && opt_.cycles != 0) &&
                                !(opt_.write.present && opt_.cycles == 0);
    if (final_snapshot) {
        for (const auto& device : devices_) {
            if (!device->emit_snapshot()) {
                break;
            }
        }
    }
    if (shared_.output_failed && status == kExitOk) {
        status = kExitFailure;
    }
    // With several devices the run counts as polling when any of them completed a round.
    unsigned long long rounds = 0;
    unsigned long save_failures = 0;
    for (const auto& device : devices_) {
        rounds += device->rounds_completed();
        save_failures += device->save_failures();
    }
    if (opt_.cycles > 0 && rounds == 0 && g_flags.stop == 0 && status == kExitOk) {
        status_ << "kv830-host: not one of " << opt_.cycles << " cycles completed a round"
                << std::endl;
        status = kExitNoRound;
    }
    lines_.clear();
    devices_.clear();
    if (save_failures != 0 && status == kExitOk) {
        status = kExitFailure;
    }
    return status;
}

int run_main(int argc, const char* const* argv) {
    if (argc > 1 && argv[1] != nullptr && std::strcmp(argv[1], "export") == 0) {
        return run_export(argc - 1, const_cast<char**>(argv + 1), std::cout, std::cerr);
    }
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        std::cerr << "kv830-host: " << error << "\n(try kv830-host --help)" << std::endl;
        return kExitUsage;
    }
    if (options.help) {
        std::cout << usage("kv830-host");
        std::cout.flush();
        return std::cout ? kExitOk : kExitFailure;
    }
    // The driver writes its diagnostic lines to std::cout: the real standard output is
    // kept on a private descriptor for snapshots and descriptor 1 points at the log.
    std::cout.flush();
    const int out_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int log_fd = STDERR_FILENO;
    if (!options.log_file.empty()) {
        log_fd = ::open(options.log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                        kLogFileMode);
        if (log_fd < 0) {
            std::cerr << "kv830-host: cannot open log " << options.log_file << ": "
                      << std::strerror(errno) << std::endl;
            return kExitUsage;
        }
    }
    if (out_fd < 0 || ::dup2(log_fd, STDOUT_FILENO) < 0) {
        std::cerr << "kv830-host: cannot set up standard output: " << std::strerror(errno)
                  << std::endl;
        return kExitFailure;
    }
    if (log_fd != STDERR_FILENO) {
        ::close(log_fd);
    }
    install_signal_handlers();
    const int status = Program(std::move(options), out_fd, std::cerr).run();
    std::cout.flush();
    ::close(out_fd);
    return status;
}

}  // namespace kv830host
