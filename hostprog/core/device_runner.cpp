#include "device_runner.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "file_io.h"
#include "history_time.h"
#include "kv830_protocol.h"
#include "pretty.h"
#include "qdx_host.h"

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
    const StopFlags& flags = stop_flags();
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
            if (flags.abort != 0 || (flags.stop != 0 && now - blocked_since > kOutputGrace)) {
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

// With several devices a snapshot on standard output says whose it is: one JSON line
// per device and round, the device's text untouched inside it.
std::string tagged_snapshot(unsigned data_id, const std::string& text) {
    std::string body = text;
    while (!body.empty() && body.back() == '\n') {
        body.pop_back();
    }
    return "{\"data_id\":" + std::to_string(data_id) + ",\"snapshot\":" + body + "}\n";
}

}  // namespace

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

// What the host keeps of what the device hands it. Called on the thread of the device's
// line only.
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
    unsigned long save_failures() const { return save_failures_.load(); }
    void count_save_failure() { ++save_failures_; }

  private:
    HistoryWriter* history_;
    std::ostream& log_;
    bool loading_cache_ = false;
    unsigned long published_ = 0;
    unsigned long marked_ = 0;
    std::atomic<unsigned long> save_failures_{0};
    int last_record_type_ = kRecordType;
};

DeviceRunner::DeviceRunner(DeviceOptions device, PollShared& shared)
    : opt_(std::move(device)),
      shared_(shared),
      status_(shared.sink, shared.several ? "[" + std::to_string(opt_.data_id) + "] " : ""),
      output_path_(expand_data_id(shared.options.output_file, opt_.data_id)) {}

DeviceRunner::~DeviceRunner() {
    release();
}

bool DeviceRunner::create(const PluginLoader& loader, const std::string& plugin, std::string& error,
                          int& exit_status) {
    device_.reset(loader.create());
    modbus_ = dynamic_cast<SPModbus*>(device_.get());
    if (modbus_ == nullptr) {
        error = plugin + " creates no Modbus device";
        exit_status = kExitFailure;
        device_.reset();
        return false;
    }
    observer_ = std::make_unique<HostObserver>(shared_.writer, status_);
    qdxhost::HostAccess::set_observer(*device_, observer_.get());
    device_->Init(std::weak_ptr<QDXController>(), opt_.data_id, Json::Value());
    // The device lets the JSON library's errors through by design; a settings document
    // of the wrong shape is the user's to fix, not a crash.
    try {
        device_->InitSetting(opt_.settings);
    } catch (const std::exception& e) {
        const std::string member = misshapen_setting(opt_.settings);
        error = "settings file " + shared_.options.settings_file + ": " +
                (shared_.options.device_list
                     ? "device of data id " + std::to_string(opt_.data_id) + ": "
                     : std::string()) +
                (member.empty() ? std::string("the device refused it")
                                : "member " + member + " has the wrong type") +
                " (" + e.what() + ")";
        exit_status = kExitUsage;
        release();
        return false;
    }
    return true;
}

void DeviceRunner::release() {
    if (device_) {
        qdxhost::HostAccess::set_observer(*device_, nullptr);
        device_.reset();
        modbus_ = nullptr;
    }
}

unsigned long DeviceRunner::save_failures() const {
    return observer_ ? observer_->save_failures() : 0;
}

void DeviceRunner::count_save_failure() {
    if (observer_) {
        observer_->count_save_failure();
    }
}

void DeviceRunner::load_cache(HistoryStore& history, const std::vector<ServedWatcher>& served) {
    StoredRound round;
    std::string error;
    // Rows of another size (from another build of the device) are passed over for the
    // newest one the device takes.
    if (!history.newest_round(opt_.data_id, kRecordType, kRecordSize, round, error)) {
        if (!error.empty()) {
            status_ << "kv830-host: history: " << error << std::endl;
        }
        return;
    }
    HistoryRow newest;
    std::string ignored;
    if (history.newest(opt_.data_id, kRecordType, newest, ignored) && newest.id != round.id) {
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
    status_ << "kv830-host: serving the record stored at " << format_local_time(round.unix_ms)
            << " (history row " << round.id << ") until the first new cycle" << std::endl;
    for (const auto& on_served : served) {
        std::string text;
        if (fetch_snapshot(*device_, text)) {
            on_served(opt_.data_id, text, round.unix_ms);
        }
    }
}

bool DeviceRunner::poll_round(qdxhost::ModbusLink& link, long cycle) {
    using Clock = std::chrono::steady_clock;
    link.set_slave(opt_.link.slave);
    const auto start = Clock::now();
    observer_->mark();
    device_->RefreshStatus();
    const qdxhost::DriveResult r = link.drive(*modbus_, &stop_flags().abort);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const unsigned long published = observer_->published_since_mark();
    const bool link_down = r.last == qdxhost::Exchange::LinkDown || !link.is_open();
    std::ostringstream outcome;
    outcome << r.answered << " answered, " << r.failed << " failed, " << r.retries << " retries";
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
    if (shared_.writer != nullptr) {
        const HistoryWriterStatus h = shared_.writer->status();
        if (h.failure != HistoryFailure::None || h.pending > kPendingShown) {
            line << ", " << history_status_text(h);
        }
    }
    const std::string shown = repeats_.next(key, line.str() + "\n");
    if (!shown.empty()) {
        status_ << shown << std::flush;
    }
    CycleReport report;
    report.data_id = opt_.data_id;
    report.number = static_cast<unsigned long long>(cycle);
    report.completed = published != 0;
    report.duration_s = seconds;
    report.answered = r.answered;
    report.failed = r.failed;
    report.retries = r.retries;
    report.timeouts = r.timeouts;
    report.garbled = r.garbled;
    report.exceptions = r.refused;
    report.link_down = link_down ? 1 : 0;
    report.reopens_total = link.reopen_count();
    report.link_up = !link_down;
    report.end_unix_ms = unix_ms_now();
    const std::vector<CycleWatcher>& watchers = *shared_.watchers;
    if (published != 0) {
        ++rounds_completed_;
        last_completed_ms_ = report.end_unix_ms;
        if (!watchers.empty() && !fetch_snapshot(*device_, report.snapshot)) {
            report.snapshot.clear();
        }
    }
    report.last_completed_unix_ms = last_completed_ms_;
    for (const CycleWatcher& w : watchers) {
        w(report);
    }
    return link_down;
}

WriteOutcome DeviceRunner::perform_write(qdxhost::ModbusLink& link, const WriteCommand& command) {
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
    link.set_slave(opt_.link.slave);
    const qdxhost::DriveResult r = link.drive(*modbus_, &stop_flags().abort);
    std::int32_t result = -1;
    size = 0;
    device_->DeviceIoControl(kReadbackRequest, nullptr, 0, &result, static_cast<int>(sizeof result),
                             size);
    return judge_write(result, r);
}

int DeviceRunner::write_now(qdxhost::ModbusLink& link, const WriteRequest& request) {
    WriteCommand command;
    command.data_id = opt_.data_id;
    command.address = request.address;
    command.values = request.values;
    const WriteOutcome outcome = perform_write(link, command);
    std::ostringstream what;
    what << "write " << (request.values.size() > 1 ? "registers " : "register ") << request.address;
    for (std::size_t i = 0; i < request.values.size(); ++i) {
        what << (i == 0 ? "=" : ",") << request.values[i];
    }
    status_ << what.str() << ": " << describe_write_outcome(outcome) << std::endl;
    return exit_status_of(outcome);
}

void DeviceRunner::queue_write(const WriteCommand& command, WriteDone done) {
    const std::lock_guard<std::mutex> lock(writes_mutex_);
    pending_writes_.emplace_back(command, std::move(done));
}

void DeviceRunner::run_pending_writes(qdxhost::ModbusLink& link) {
    std::deque<std::pair<WriteCommand, WriteDone>> writes;
    {
        const std::lock_guard<std::mutex> lock(writes_mutex_);
        writes.swap(pending_writes_);
    }
    for (auto& [command, done] : writes) {
        const WriteOutcome outcome = perform_write(link, command);
        status_ << "write of " << command.values.size() << " register(s) from " << command.address
                << " asked from outside: " << describe_write_outcome(outcome) << std::endl;
        if (done) {
            done(outcome);
        }
    }
}

bool DeviceRunner::emit_snapshot() {
    std::string text;
    if (!fetch_snapshot(*device_, text)) {
        status_ << "kv830-host: the device refused the snapshot request" << std::endl;
        shared_.output_failed = true;
        return false;
    }
    // Standard output first: a file that cannot be written does not hide the snapshot.
    std::string shown;
    if (shared_.options.pretty) {
        shown = shared_.several
                    ? "data id " + std::to_string(opt_.data_id) + ":\n" + pretty_snapshot(text)
                    : pretty_snapshot(text);
    } else {
        shown = shared_.several ? tagged_snapshot(opt_.data_id, text) : text;
    }
    int error_number = 0;
    {
        const std::lock_guard<std::mutex> lock(shared_.output_mutex);
        if (!write_output(shared_.out_fd, shown)) {
            error_number = errno;
        }
    }
    if (error_number != 0) {
        status_ << "kv830-host: cannot write the snapshot to standard output: "
                << (error_number == EAGAIN ? "nobody reads it" : std::strerror(error_number))
                << std::endl;
        shared_.output_failed = true;
        return false;
    }
    if (!output_path_.empty()) {
        std::string error;
        if (!kv830io::write_file_atomically(output_path_, text, error)) {
            status_ << "kv830-host: " << error << std::endl;
            shared_.output_failed = true;
            return false;
        }
    }
    return true;
}

void DeviceRunner::finish() {
    const std::string rest = repeats_.flush();
    if (!rest.empty()) {
        status_ << rest << std::flush;
    }
}

}  // namespace kv830host
