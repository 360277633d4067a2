#include "device_runner.h"

#include <json/value.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "kv830_protocol.h"
#include "qdx_host.h"

namespace kv830host {

namespace {

constexpr int kSnapshotRequest = KV830_SNAPSHOT_TEXT;
constexpr int kDocumentRequest = KV830_SNAPSHOT_VALUE;
constexpr int kWriteRegister = KV830_WRITE_REGISTER;
constexpr int kWriteRegisters = KV830_WRITE_REGISTERS;
constexpr int kReadbackRequest = KV830_WRITE_RESULT;
constexpr std::int32_t kWriteConfirmed = KV830_WRITE_CONFIRMED;
constexpr std::int32_t kWriteNotConfirmed = KV830_WRITE_NOT_CONFIRMED;
constexpr std::size_t kSnapshotBuffer = std::size_t{64} * 1024;
constexpr std::size_t kMaxWriteValues = kv830::kMaxWriteRegisters;
constexpr std::size_t kRegisterSpace = kv830::kRegisterSpace;
// A device that answers nothing this many rounds in a row on a line it shares is asked
// only every so often, from the first wait doubling to the last, until it answers again.
constexpr int kSilentRounds = 3;
constexpr auto kFirstSilentWait = std::chrono::seconds(30);
constexpr auto kLastSilentWait = std::chrono::minutes(8);

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

// The device's document as of its last rebuild, copied: the 801 request just before has
// rebuilt it, and nothing else calls the device meanwhile (its polling thread is ours).
bool copy_document(QDXSPDevice& device, Json::Value& out) {
    const Json::Value* doc = nullptr;
    int size = 0;
    if (device.DeviceIoControl(kDocumentRequest, nullptr, 0, &doc, static_cast<int>(sizeof doc),
                               size) != 0 ||
        doc == nullptr) {
        return false;
    }
    out = *doc;
    return true;
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
        o.exception = drive.exception;
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

// What the host keeps of what the device hands it: the record it publishes, and whether it
// asked for the record to be stored. Called on the thread of the device's line only, from
// within the device's round: one copy into storage of its own, nothing allocated.
class HostObserver : public qdxhost::Observer {
  public:
    int on_send_sp(QDXVDevice&, int, const unsigned char* data, unsigned size, bool) override {
        if (!loading_cache_) {
            ++published_;
        }
        copied_ = std::min<std::size_t>(size, record_.size());
        std::memcpy(record_.data(), data, copied_);
        return 0;
    }

    int on_save_history(QDXVDevice&, const unsigned char*, unsigned) override {
        // A record served from the history is already in it.
        store_ = !loading_cache_;
        return 0;
    }

    void set_loading_cache(bool on) { loading_cache_ = on; }
    unsigned long published() const { return published_; }
    // Rounds published since mark(): those of the cycle under way.
    void mark() {
        marked_ = published_;
        store_ = false;
    }
    unsigned long published_since_mark() const { return published_ - marked_; }
    // The last record published, and whether the device asked to store it.
    void take_record(Round& round) const {
        std::memcpy(round.record.data(), record_.data(), copied_);
        round.store = store_;
    }

  private:
    std::array<unsigned char, kv830::kRecordSize> record_{};
    std::size_t copied_ = 0;
    bool loading_cache_ = false;
    bool store_ = false;
    unsigned long published_ = 0;
    unsigned long marked_ = 0;
};

DeviceRunner::DeviceRunner(DeviceOptions device, PollShared& shared)
    : opt_(std::move(device)),
      shared_(shared),
      status_(shared.sink, shared.several ? "[" + std::to_string(opt_.data_id) + "] " : "") {}

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
    observer_ = std::make_unique<HostObserver>();
    qdxhost::HostAccess::set_observer(*device_, observer_.get());
    device_->Init(std::weak_ptr<QDXController>(), opt_.data_id, Json::Value());
    // The device lets the JSON library's errors through by design; a settings document
    // of the wrong shape is the user's to fix, not a crash.
    try {
        device_->InitSetting(opt_.settings);
    } catch (const std::exception&) {
        const std::string member = misshapen_setting(opt_.settings);
        error = "settings file " + shared_.settings_file + ": " +
                (shared_.device_list ? "device of data id " + std::to_string(opt_.data_id) + ": "
                                     : std::string()) +
                // The JSON library's own words name its internals, not the document.
                (member.empty() ? std::string("the device refused it: a member it reads has a "
                                              "type it does not take")
                                : "member " + member + " has the wrong type");
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

bool DeviceRunner::current_snapshot(std::string& text) {
    return device_ && fetch_snapshot(*device_, text);
}

std::shared_ptr<Round> DeviceRunner::make_round(bool completed) {
    auto round = std::make_shared<Round>();
    round->data_id = opt_.data_id;
    round->completed = completed;
    if (!completed) {
        return round;
    }
    observer_->take_record(*round);
    // Fetched once for every output that reads it; a device that refuses leaves the
    // round without a snapshot rather than without its counters.
    if ((shared_.needs.snapshot || shared_.needs.document) &&
        fetch_snapshot(*device_, round->snapshot) && shared_.needs.document &&
        !copy_document(*device_, round->document)) {
        round->document = Json::Value();
    }
    return round;
}

void DeviceRunner::hand_out(const RoundPtr& round, bool served) {
    for (Output* output : shared_.outputs) {
        if (served) {
            output->on_served(round);
        } else {
            output->on_round(round);
        }
    }
}

void DeviceRunner::serve_archived(RecordArchive& archive) {
    ArchivedRecord stored;
    std::string error;
    if (!archive.newest_record(opt_.data_id, stored, error)) {
        if (!error.empty()) {
            status_ << "kv830-host: history: " << error << std::endl;
        }
        return;
    }
    if (!stored.note.empty()) {
        status_ << "kv830-host: " << stored.note << std::endl;
    }
    observer_->set_loading_cache(true);
    const int taken =
        device_->LoadFromCache(stored.record.data(), static_cast<int>(stored.record.size()));
    observer_->set_loading_cache(false);
    if (taken != 1) {
        status_ << "kv830-host: " << stored.described << " holds " << stored.record.size()
                << " bytes; the device did not take it" << std::endl;
        return;
    }
    // The device stamps a served record with the time it was loaded; the stored round's
    // own time is said here, and the outputs are told it is not a new round.
    status_ << "kv830-host: serving " << stored.described << " until the first new cycle"
            << std::endl;
    const std::shared_ptr<Round> round = make_round(true);
    round->from_history = true;
    round->store = false;
    std::memcpy(round->record.data(), stored.record.data(),
                std::min(stored.record.size(), round->record.size()));
    round->end_unix_ms = stored.unix_ms;
    round->last_completed_unix_ms = stored.unix_ms;
    hand_out(round, true);
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
    for (const Output* output : shared_.outputs) {
        const std::string note = output->cycle_note(opt_.data_id);
        if (!note.empty()) {
            line << ", " << note;
        }
    }
    const std::string shown = repeats_.next(key, line.str() + "\n");
    if (!shown.empty()) {
        status_ << shown << std::flush;
    }
    const std::shared_ptr<Round> round = make_round(published != 0);
    ++rounds_attempted_;
    follow_silence(r, link_down, *round);
    round->number = static_cast<unsigned long long>(cycle);
    // Microseconds are all the clock's reading is worth, and what every output shows.
    round->duration_s = std::round(seconds * 1e6) / 1e6;
    round->counters = counters_of(r, link_down);
    round->reopens_total = link.reopen_count();
    round->link_up = !link_down;
    round->end_unix_ms = unix_ms_now();
    if (round->completed) {
        ++rounds_completed_;
        last_completed_ms_ = round->end_unix_ms;
    }
    round->last_completed_unix_ms = last_completed_ms_;
    hand_out(round, false);
    return link_down;
}

void DeviceRunner::follow_silence(const qdxhost::DriveResult& drive, bool link_down, Round& round) {
    using Clock = std::chrono::steady_clock;
    if (drive.answered != 0 || link_down || drive.aborted) {
        if (silent_rounds_ >= kSilentRounds) {
            status_ << "answers again: polled every cycle" << std::endl;
        }
        silent_rounds_ = 0;
        silent_wait_ = {};
        next_due_ = {};
        if (!link_down && drive.answered == 0) {
            return;
        }
        last_failure_ = link_down ? "the link was down" : last_failure_;
        return;
    }
    last_failure_ = "the controller answered nothing";
    if (!shared_line_ || ++silent_rounds_ < kSilentRounds) {
        return;
    }
    silent_wait_ = silent_wait_ == Clock::duration{}
                       ? Clock::duration(kFirstSilentWait)
                       : std::min<Clock::duration>(silent_wait_ * 2, kLastSilentWait);
    next_due_ = Clock::now() + silent_wait_;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(silent_wait_).count();
    round.silent_backoff_s = static_cast<double>(seconds);
    if (silent_rounds_ == kSilentRounds) {
        status_ << "no answer in " << kSilentRounds << " rounds: asked every " << seconds
                << " s (doubling) until it answers, so that the line's other devices keep "
                   "their interval"
                << std::endl;
    }
}

std::string DeviceRunner::summary(long cycles) const {
    std::string line = "data id " + std::to_string(opt_.data_id) + ": " +
                       std::to_string(rounds_completed()) + " of " +
                       std::to_string(rounds_attempted()) + " rounds completed";
    if (cycles > 0 && static_cast<unsigned long long>(cycles) > rounds_attempted()) {
        line += " (" +
                std::to_string(static_cast<unsigned long long>(cycles) - rounds_attempted()) +
                " cycles passed over while it was silent)";
    }
    if (rounds_completed() == 0 && !last_failure_.empty()) {
        line += "; " + last_failure_;
    }
    return line;
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
    // The write policy that queued them says what came of each, in its audit line.
    for (auto& [command, done] : writes) {
        const WriteOutcome outcome = perform_write(link, command);
        if (done) {
            done(outcome);
        }
    }
}

void DeviceRunner::finish() {
    const std::string rest = repeats_.flush();
    if (!rest.empty()) {
        status_ << rest << std::flush;
    }
}

}  // namespace kv830host
