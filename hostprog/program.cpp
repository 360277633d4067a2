#include "program.h"

#include <fcntl.h>
#include <json/value.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "file_io.h"
#include "history_decoder.h"
#include "history_export.h"
#include "history_series.h"
#include "history_time.h"
#include "http_server.h"
#include "kv830_protocol.h"
#include "metrics.h"
#include "mqtt_publisher.h"
#include "plant_state.h"
#include "plugin_loader.h"
#include "pretty.h"
#include "qdx_host.h"
#include "web_assets.h"

namespace kv830host {

namespace {

constexpr int kRecordType = kv830::kRecordType;
constexpr int kSnapshotRequest = KV830_SNAPSHOT_TEXT;
constexpr int kWriteRegister = KV830_WRITE_REGISTER;
constexpr int kWriteRegisters = KV830_WRITE_REGISTERS;
constexpr int kReadbackRequest = KV830_WRITE_RESULT;
constexpr std::int32_t kWriteConfirmed = KV830_WRITE_CONFIRMED;
constexpr std::int32_t kWriteNotConfirmed = KV830_WRITE_NOT_CONFIRMED;
constexpr std::size_t kSnapshotBuffer = std::size_t{64} * 1024;
constexpr std::size_t kMaxWriteValues = kv830::kMaxWriteRegisters;
constexpr std::size_t kRegisterSpace = kv830::kRegisterSpace;
// The record the device publishes and the history keeps.
constexpr std::size_t kRecordSize = 576;
// Rounds waiting for a commit are normal up to one commit interval's worth.
constexpr unsigned long long kPendingShown = 3600;
// A pipe takes a write of this size whole once poll says it has room.
constexpr std::size_t kOutputChunk = 4096;
// How long a stopping program waits for a reader of standard output.
constexpr auto kOutputGrace = std::chrono::seconds(1);
// The link's own reopening backoff, which cycles follow while the link is down.
constexpr auto kFirstBackoff = std::chrono::milliseconds(500);
constexpr auto kLastBackoff = std::chrono::milliseconds(8000);
// Often enough for any watchdog period a unit would set.
constexpr auto kWatchdogEvery = std::chrono::milliseconds(1000);
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

std::int64_t unix_ms_now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool fetch_snapshot(QDXSPDevice& device, std::string& text) {
    std::vector<char> buffer(kSnapshotBuffer);
    int size = 0;
    int rc = device.DeviceIoControl(kSnapshotRequest, nullptr, 0, buffer.data(),
                                    static_cast<int>(buffer.size()), size);
    if (rc != 0 && size > static_cast<int>(buffer.size())) {
        buffer.resize(static_cast<std::size_t>(size));
        rc = device.DeviceIoControl(kSnapshotRequest, nullptr, 0, buffer.data(),
                                    static_cast<int>(buffer.size()), size);
    }
    if (rc != 0 || size < 0) {
        return false;
    }
    text.assign(buffer.data(), static_cast<std::size_t>(size));
    return true;
}

// Writes to standard output without hanging on a pipe that nobody reads once the
// program is asked to stop. False with errno set (EPIPE, or EAGAIN for a blocked pipe).
bool write_output(int fd, const std::string& text) {
    std::size_t done = 0;
    auto blocked_since = std::chrono::steady_clock::time_point{};
    while (done < text.size()) {
        pollfd p{fd, POLLOUT, 0};
        const int rc = ::poll(&p, 1, 100);
        if (rc < 0 && errno != EINTR) {
            return false;
        }
        if (rc <= 0) {
            const auto now = std::chrono::steady_clock::now();
            if (blocked_since == std::chrono::steady_clock::time_point{}) {
                blocked_since = now;
            }
            if (g_flags.abort != 0 || (g_flags.stop != 0 && now - blocked_since > kOutputGrace)) {
                errno = EAGAIN;
                return false;
            }
            continue;
        }
        blocked_since = {};
        const std::size_t n = std::min(kOutputChunk, text.size() - done);
        if (!kv830io::write_all(fd, text.data() + done, n)) {
            return false;
        }
        done += n;
    }
    return true;
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

WriteOutcome judge_write(int device_result, const qdxhost::DriveResult& drive) {
    WriteOutcome o;
    // An exception reply reaches the device as a wrong echo, so the link's word on what
    // came back goes first: the user is told the controller refused, not that it echoed
    // something else.
    if (drive.last == qdxhost::Exchange::Refused) {
        o.kind = WriteOutcome::Kind::Refused;
        o.reason = "exception " + std::to_string(drive.exception);
    } else if (device_result == kWriteConfirmed) {
        o.kind = WriteOutcome::Kind::Confirmed;
    } else if (device_result == kWriteNotConfirmed) {
        o.kind = WriteOutcome::Kind::NotConfirmed;
    } else if (drive.last == qdxhost::Exchange::Garbled) {
        o.kind = WriteOutcome::Kind::Garbled;
    } else {
        o.kind = WriteOutcome::Kind::NoReply;
        o.reason = qdxhost::exchange_name(drive.last);
    }
    o.retried = drive.write_retried;
    return o;
}

int exit_status_of(const WriteOutcome& outcome) {
    switch (outcome.kind) {
        case WriteOutcome::Kind::Confirmed:
            return kExitOk;
        case WriteOutcome::Kind::NotConfirmed:
        case WriteOutcome::Kind::Refused:
            return kExitNotConfirmed;
        case WriteOutcome::Kind::NoReply:
            return kExitNoReply;
        case WriteOutcome::Kind::Garbled:
            return kExitGarbled;
    }
    return kExitNoReply;
}

std::string describe_write_outcome(const WriteOutcome& outcome) {
    std::string text = write_outcome_text(outcome.kind);
    if (!outcome.reason.empty()) {
        text += " (" + outcome.reason + ")";
    }
    if (outcome.retried) {
        text += ", sent again after no reply";
    }
    return text;
}

std::string RepeatSummary::next(const std::string& key, const std::string& line) {
    if (!key.empty() && key == key_) {
        ++repeats_;
        return "";
    }
    std::string out = flush();
    key_ = key;
    return out + line;
}

std::string RepeatSummary::flush() {
    if (repeats_ == 0) {
        return "";
    }
    std::string out = "... (repeated " + std::to_string(repeats_) + " times)\n";
    repeats_ = 0;
    return out;
}

// What the host keeps of what the device hands it.
class HostObserver : public qdxhost::Observer {
  public:
    HostObserver(HistoryWriter* history, std::ostream& log) : history_(history), log_(log) {}

    int on_send_sp(QDXVDevice&, int record_type, const unsigned char*, unsigned, bool) override {
        last_record_type_ = record_type;
        if (!loading_cache_) {
            ++published_;
        }
        return 0;
    }

    int on_save_history(QDXVDevice& device, const unsigned char* data, unsigned size) override {
        // A record served from the history is already in it.
        if (loading_cache_ || history_ == nullptr) {
            return 0;
        }
        // Only copied here: the writer's own thread commits, so polling never waits on
        // the file.
        if (!history_->submit(device.DataId(), last_record_type_, wall_clock_ms(), data, size)) {
            ++save_failures_;
            log_ << "history: round of " << size << " bytes not saved" << std::endl;
            return -1;
        }
        return 0;
    }

    void set_loading_cache(bool on) { loading_cache_ = on; }
    unsigned long published() const { return published_; }
    // Rounds published since mark(): those of the cycle under way.
    void mark() { marked_ = published_; }
    unsigned long published_since_mark() const { return published_ - marked_; }
    unsigned long save_failures() const { return save_failures_; }
    void count_save_failure() { ++save_failures_; }

  private:
    HistoryWriter* history_;
    std::ostream& log_;
    bool loading_cache_ = false;
    unsigned long published_ = 0;
    unsigned long marked_ = 0;
    unsigned long save_failures_ = 0;
    int last_record_type_ = kRecordType;
};

Program::Program(Options options, int out_fd, std::ostream& status)
    : opt_(std::move(options)), out_fd_(out_fd), status_(status) {}

Program::~Program() = default;

void Program::add_watcher(Watcher watcher) {
    watchers_.push_back(std::move(watcher));
}

bool Program::emit_snapshot() {
    std::string text;
    if (!fetch_snapshot(*device_, text)) {
        status_ << "kv830-host: the device refused the snapshot request" << std::endl;
        output_failed_ = true;
        return false;
    }
    // Standard output first: a file that cannot be written does not hide the snapshot.
    const std::string shown = opt_.pretty ? pretty_snapshot(text) : text;
    if (!write_output(out_fd_, shown)) {
        status_ << "kv830-host: cannot write the snapshot to standard output: "
                << (errno == EAGAIN ? "nobody reads it" : std::strerror(errno)) << std::endl;
        output_failed_ = true;
        return false;
    }
    if (!opt_.output_file.empty()) {
        std::string error;
        if (!kv830io::write_file_atomically(opt_.output_file, text, error)) {
            status_ << "kv830-host: " << error << std::endl;
            output_failed_ = true;
            return false;
        }
    }
    return true;
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
    if (notifier_.enabled() && now - last_watchdog_ >= kWatchdogEvery) {
        notifier_.notify("WATCHDOG=1");
        last_watchdog_ = now;
    }
}

void Program::sleep_until(std::chrono::steady_clock::time_point t) {
    while (g_flags.stop == 0) {
        housekeeping();
        const auto now = std::chrono::steady_clock::now();
        if (now >= t) {
            return;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(t - now, std::chrono::milliseconds(50)));
    }
}

void Program::load_cache() {
    StoredRound round;
    std::string error;
    // Rows of another size (from another build of the device) are passed over for the
    // newest one the device takes.
    if (!history_.newest_round(opt_.data_id, kRecordType, kRecordSize, round, error)) {
        if (!error.empty()) {
            status_ << "kv830-host: history: " << error << std::endl;
        }
        return;
    }
    HistoryRow newest;
    std::string ignored;
    if (history_.newest(opt_.data_id, kRecordType, newest, ignored) && newest.id != round.id) {
        status_ << "kv830-host: history row " << newest.id << " holds " << newest.record.size()
                << " bytes; the device did not take it" << std::endl;
    }
    observer_->set_loading_cache(true);
    const int taken =
        device_->LoadFromCache(round.record.data(), static_cast<int>(round.record.size()));
    observer_->set_loading_cache(false);
    if (taken != 1) {
        status_ << "kv830-host: history row " << round.id << " holds " << round.record.size()
                << " bytes; the device did not take it" << std::endl;
        return;
    }
    // The device stamps a served record with the time it was loaded; the stored round's
    // own time is said here, and watchers are told it is not a new cycle.
    served_round_ms_ = round.unix_ms;
    status_ << "kv830-host: serving the record stored at " << format_local_time(round.unix_ms)
            << " (history row " << round.id << ") until the first new cycle" << std::endl;
    for (const auto& on_served : served_watchers_) {
        std::string text;
        if (fetch_snapshot(*device_, text)) {
            on_served(text, round.unix_ms);
        }
    }
}

WriteOutcome Program::perform_write(SPModbus& modbus, const WriteCommand& command) {
    WriteOutcome outcome;
    if (command.data_id != opt_.data_id) {
        outcome.kind = WriteOutcome::Kind::Refused;
        outcome.reason = "no device with data id " + std::to_string(command.data_id);
        return outcome;
    }
    if (command.values.empty() || command.values.size() > kMaxWriteValues || command.address < 0 ||
        static_cast<std::size_t>(command.address) + command.values.size() > kRegisterSpace) {
        outcome.kind = WriteOutcome::Kind::Refused;
        outcome.reason = "registers out of range";
        return outcome;
    }
    std::vector<std::uint16_t> in;
    in.push_back(static_cast<std::uint16_t>(command.address));
    in.insert(in.end(), command.values.begin(), command.values.end());
    const int code = command.values.size() > 1 ? kWriteRegisters : kWriteRegister;
    int size = 0;
    if (device_->DeviceIoControl(code, in.data(), static_cast<int>(in.size() * 2), nullptr, 0,
                                 size) != 0) {
        outcome.kind = WriteOutcome::Kind::Refused;
        outcome.reason = "the device refused the write request " + std::to_string(code);
        return outcome;
    }
    const qdxhost::DriveResult r = link_->drive(modbus, &g_flags.abort);
    std::int32_t result = -1;
    size = 0;
    device_->DeviceIoControl(kReadbackRequest, nullptr, 0, &result, static_cast<int>(sizeof result),
                             size);
    return judge_write(result, r);
}

int Program::do_write(SPModbus& modbus) {
    const auto& w = opt_.write;
    WriteCommand command;
    command.data_id = opt_.data_id;
    command.address = w.address;
    command.values = w.values;
    const WriteOutcome outcome = perform_write(modbus, command);
    std::ostringstream what;
    what << "write " << (w.values.size() > 1 ? "registers " : "register ") << w.address;
    for (std::size_t i = 0; i < w.values.size(); ++i) {
        what << (i == 0 ? "=" : ",") << w.values[i];
    }
    status_ << what.str() << ": " << describe_write_outcome(outcome) << std::endl;
    return exit_status_of(outcome);
}

WriteSubmitter Program::write_submitter() {
    return [this](const WriteCommand& command, WriteDone done) {
        const std::lock_guard<std::mutex> lock(writes_mutex_);
        pending_writes_.emplace_back(command, std::move(done));
    };
}

void Program::run_pending_writes(SPModbus& modbus) {
    std::deque<std::pair<WriteCommand, WriteDone>> writes;
    {
        const std::lock_guard<std::mutex> lock(writes_mutex_);
        writes.swap(pending_writes_);
    }
    for (auto& [command, done] : writes) {
        const WriteOutcome outcome = perform_write(modbus, command);
        status_ << "write of " << command.values.size() << " register(s) from " << command.address
                << " asked from outside: " << describe_write_outcome(outcome) << std::endl;
        if (done) {
            done(outcome);
        }
    }
}

void Program::report(const CycleReport& r) {
    for (const Watcher& w : watchers_) {
        w(r);
    }
}

void Program::run_cycles(SPModbus& modbus) {
    using Clock = std::chrono::steady_clock;
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt_.interval_s));
    auto next = Clock::now();
    Clock::duration backoff = kFirstBackoff;
    RepeatSummary repeats;
    std::int64_t last_completed_ms = 0;
    for (long cycle = 1; opt_.cycles < 0 || cycle <= opt_.cycles; ++cycle) {
        sleep_until(next);
        if (g_flags.stop != 0) {
            break;
        }
        run_pending_writes(modbus);
        const auto start = Clock::now();
        next = start + interval;
        observer_->mark();
        device_->RefreshStatus();
        const qdxhost::DriveResult r = link_->drive(modbus, &g_flags.abort);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const unsigned long published = observer_->published_since_mark();
        const bool link_down = r.last == qdxhost::Exchange::LinkDown || !link_->is_open();
        // While the link is down the cycles follow its reopening backoff instead of
        // spinning at --interval 0.
        if (link_down) {
            next = std::max(next, start + backoff);
            backoff = std::min<Clock::duration>(backoff * 2, kLastBackoff);
        } else {
            backoff = kFirstBackoff;
        }
        std::ostringstream outcome;
        outcome << r.answered << " answered, " << r.failed << " failed, " << r.retries
                << " retries";
        std::ostringstream line;
        line << "cycle " << cycle << ": " << std::fixed << std::setprecision(3) << seconds << " s, "
             << outcome.str() << ", published " << published << " (" << observer_->published()
             << " in all)";
        std::string key;
        if (r.aborted) {
            line << ", interrupted";
        } else if (r.failed != 0) {
            line << ", abandoned (" << qdxhost::exchange_name(r.last) << ")";
        }
        // A link that stays down makes the same line every few seconds for hours.
        if (link_down && r.answered == 0) {
            key = outcome.str() + qdxhost::exchange_name(r.last);
        }
        if (writer_) {
            const HistoryWriterStatus h = writer_->status();
            if (h.failure != HistoryFailure::None || h.pending > kPendingShown) {
                line << ", " << history_status_text(h);
            }
        }
        const std::string shown = repeats.next(key, line.str() + "\n");
        if (!shown.empty()) {
            status_ << shown << std::flush;
        }
        CycleReport report_of_cycle;
        report_of_cycle.data_id = opt_.data_id;
        report_of_cycle.number = static_cast<unsigned long long>(cycle);
        report_of_cycle.completed = published != 0;
        report_of_cycle.duration_s = seconds;
        report_of_cycle.answered = r.answered;
        report_of_cycle.failed = r.failed;
        report_of_cycle.retries = r.retries;
        report_of_cycle.timeouts = r.timeouts;
        report_of_cycle.garbled = r.garbled;
        report_of_cycle.exceptions = r.refused;
        report_of_cycle.link_down = link_down ? 1 : 0;
        report_of_cycle.reopens_total = link_->reopen_count();
        report_of_cycle.link_up = !link_down;
        report_of_cycle.end_unix_ms = unix_ms_now();
        if (published != 0) {
            ++rounds_completed_;
            last_completed_ms = report_of_cycle.end_unix_ms;
            if (!watchers_.empty() && !fetch_snapshot(*device_, report_of_cycle.snapshot)) {
                report_of_cycle.snapshot.clear();
            }
        }
        report_of_cycle.last_completed_unix_ms = last_completed_ms;
        report(report_of_cycle);
        if (opt_.watch && !emit_snapshot()) {
            break;
        }
        housekeeping();
    }
    notifier_.notify("STOPPING=1");
    const std::string rest = repeats.flush();
    if (!rest.empty()) {
        status_ << rest << std::flush;
    }
}

bool Program::init_device(std::string& error) {
    device_->Init(std::weak_ptr<QDXController>(), opt_.data_id, Json::Value());
    // The device lets the JSON library's errors through by design; a settings document
    // of the wrong shape is the user's to fix, not a crash.
    try {
        device_->InitSetting(opt_.settings);
    } catch (const std::exception& e) {
        const std::string member = misshapen_setting(opt_.settings);
        error = "settings file " + opt_.settings_file + ": " +
                (member.empty() ? std::string("the device refused it")
                                : "member " + member + " has the wrong type") +
                " (" + e.what() + ")";
        return false;
    }
    return true;
}

bool Program::start_watchers(std::string& error) {
    if (mqtt_enabled(opt_.mqtt)) {
        MqttConfig config;
        if (!check_mqtt_settings(opt_.mqtt, opt_.data_id, opt_.interval_s, local_host_name(),
                                 config, error)) {
            return false;
        }
        mqtt_ = std::make_unique<MqttPublisher>(config);
        mqtt_->set_write_submitter(write_submitter());
        add_watcher([m = mqtt_.get()](const CycleReport& r) { m->submit(r); });
    }
    if (opt_.http.enabled) {
        if (!check_http_settings(opt_.http, error)) {
            return false;
        }
        plant_ = std::make_unique<PlantState>(opt_.interval_s);
        add_watcher([p = plant_.get()](const CycleReport& r) { p->on_cycle(r); });
        served_watchers_.emplace_back([this](const std::string& text, std::int64_t unix_ms) {
            plant_->serve_from_history(opt_.data_id, text, unix_ms);
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
        if (mqtt_) {
            const MqttCounters c = mqtt_->counters();
            write_mqtt_metrics(out, c.queue_depth, c.dropped, c.published);
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
    if (mqtt_) {
        mqtt_->stop();
        mqtt_.reset();
    }
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
        observer_->count_save_failure();
    }
    status_ << std::endl;
}

// Start failed after the device was made: nothing polled, nothing left running.
void Program::abandon_start() {
    stop_watchers();
    if (writer_) {
        writer_->stop();
    }
    qdxhost::HostAccess::set_observer(*device_, nullptr);
    device_ = nullptr;
}

int Program::run() {
    std::string error;
    if (!opt_.output_file.empty() && !kv830io::check_folder_writable(opt_.output_file, error)) {
        status_ << "kv830-host: --output " << opt_.output_file << ": " << error << std::endl;
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
    PluginLoader loader;
    plugin_path_ = opt_.plugin.empty() ? default_plugin_path() : opt_.plugin;
    const std::string& plugin = plugin_path_;
    if (!loader.load(plugin, error)) {
        status_ << "kv830-host: " << error << std::endl;
        return kExitFailure;
    }
    std::unique_ptr<QDXSPDevice> device(loader.create());
    auto* modbus = dynamic_cast<SPModbus*>(device.get());
    if (modbus == nullptr) {
        status_ << "kv830-host: " << plugin << " creates no Modbus device" << std::endl;
        return kExitFailure;
    }
    device_ = device.get();
    observer_ = std::make_unique<HostObserver>(writer_.get(), status_);
    qdxhost::HostAccess::set_observer(*device_, observer_.get());
    if (!init_device(error)) {
        status_ << "kv830-host: " << error << std::endl;
        qdxhost::HostAccess::set_observer(*device_, nullptr);
        device_ = nullptr;
        return kExitUsage;
    }
    link_ = std::make_unique<qdxhost::ModbusLink>(opt_.link, status_);
    // A folder, a file that is not a serial line, a port held by another process, a host
    // name that does not exist: waiting mends none of them.
    if (!link_->ensure_open() && link_->open_failed_fatally()) {
        status_ << "kv830-host: " << link_->last_error() << std::endl;
        abandon_start();
        return kExitFailure;
    }
    status_ << "kv830-host: " << plugin << ", data id " << opt_.data_id << ", link "
            << opt_.link.describe() << ", timeout " << opt_.link.timeout_ms << " ms, retries "
            << opt_.link.retries << ", history "
            << (opt_.history ? opt_.history_file : std::string("off")) << std::endl;
    if (opt_.history) {
        load_cache();
    }
    if (writer_) {
        writer_->start();
    }
    if (mqtt_ && !mqtt_->start(error)) {
        status_ << "kv830-host: MQTT: " << error << std::endl;
    }
    if (!start_http(error)) {
        status_ << "kv830-host: HTTP: " << error << std::endl;
        abandon_start();
        return kExitFailure;
    }
    notifier_.notify("READY=1");

    int status = kExitOk;
    if (opt_.write.present) {
        status = do_write(*modbus);
    }
    run_cycles(*modbus);
    if (g_flags.stop != 0) {
        status_ << "kv830-host: stopped by signal" << std::endl;
    }
    // The history is committed before anything slower, so that a stop within a service
    // manager's timeout keeps every round.
    finish_history();
    stop_watchers();
    // --watch has shown every cycle's snapshot already; a lone write shows none.
    const bool final_snapshot = !output_failed_ && !(opt_.watch && opt_.cycles != 0) &&
                                !(opt_.write.present && opt_.cycles == 0);
    if (final_snapshot) {
        emit_snapshot();
    }
    if (output_failed_ && status == kExitOk) {
        status = kExitFailure;
    }
    if (opt_.cycles > 0 && rounds_completed_ == 0 && g_flags.stop == 0 && status == kExitOk) {
        status_ << "kv830-host: not one of " << opt_.cycles << " cycles completed a round"
                << std::endl;
        status = kExitNoRound;
    }
    qdxhost::HostAccess::set_observer(*device_, nullptr);
    device.reset();
    device_ = nullptr;
    link_.reset();
    if (observer_->save_failures() != 0 && status == kExitOk) {
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
