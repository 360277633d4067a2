// kv830-host: runs the plant controller driver against a real (or simulated) controller.
//
// Standard output carries snapshots only. The driver writes its diagnostic lines to
// std::cout, so at start the real standard output is kept on a private descriptor and
// descriptor 1 is pointed at the log; a user can pipe or save the snapshot untouched.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history_export.h"
#include "history_store.h"
#include "kv830_protocol.h"
#include "modbus_link.h"
#include "options.h"
#include "plugin_loader.h"
#include "pretty.h"
#include "qdx_host.h"

namespace {

using kv830host::Options;

constexpr int kRecordType = kv830::kRecordType;
constexpr int kSnapshotRequest = KV830_SNAPSHOT_TEXT;
constexpr int kWriteRegister = KV830_WRITE_REGISTER;
constexpr int kWriteRegisters = KV830_WRITE_REGISTERS;
constexpr int kReadbackRequest = KV830_WRITE_RESULT;

volatile std::sig_atomic_t g_stop = 0;   // finish the cycle under way, then end
volatile std::sig_atomic_t g_abort = 0;  // a second signal: end the cycle at once

extern "C" void on_stop_signal(int) {
    if (g_stop != 0) {
        g_abort = 1;
    }
    g_stop = 1;
}

void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A closed pipe on standard output or a dropped TCP peer is an error to report,
    // not a reason to die with the history half written.
    signal(SIGPIPE, SIG_IGN);
}

bool write_all(int fd, const std::string& data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// The file is replaced whole, so a reader never sees half a snapshot.
bool write_file_atomically(const std::string& path, const std::string& data, std::string& error) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = write_all(fd, data) && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!ok) {
        error = "cannot write " + tmp + ": " + std::strerror(saved);
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// What the host keeps of what the device hands it.
class HostObserver : public qdxhost::Observer {
  public:
    HostObserver(kv830host::HistoryStore* history, std::ostream& log)
        : history_(history), log_(log) {}

    int on_send_sp(QDXVDevice&, int record_type, const unsigned char* data, unsigned size,
                   bool) override {
        last_record_type_ = record_type;
        last_record_.assign(data, data + size);
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
        std::string error;
        if (!history_->append(device.DataId(), last_record_type_, data, size, error)) {
            ++save_failures_;
            log_ << "history: round not saved: " << error << std::endl;
            return -1;
        }
        return 0;
    }

    void set_loading_cache(bool on) { loading_cache_ = on; }
    unsigned long published() const { return published_; }
    unsigned long save_failures() const { return save_failures_; }

  private:
    kv830host::HistoryStore* history_;
    std::ostream& log_;
    bool loading_cache_ = false;
    unsigned long published_ = 0;
    unsigned long save_failures_ = 0;
    int last_record_type_ = kRecordType;
    std::vector<unsigned char> last_record_;
};

bool fetch_snapshot(QDXSPDevice& device, std::string& text) {
    std::vector<char> buffer(64 * 1024);
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

class Program {
  public:
    Program(Options options, int out_fd) : opt_(std::move(options)), out_fd_(out_fd) {}
    int run();

  private:
    bool emit_snapshot();
    int do_write(SPModbus& modbus);
    void run_cycles(SPModbus& modbus);
    void load_cache();
    void sleep_until(std::chrono::steady_clock::time_point t) const;

    Options opt_;
    int out_fd_;
    kv830host::HistoryStore history_;
    std::unique_ptr<HostObserver> observer_;
    QDXSPDevice* device_ = nullptr;
    std::unique_ptr<qdxhost::ModbusLink> link_;
};

bool Program::emit_snapshot() {
    std::string text;
    if (!fetch_snapshot(*device_, text)) {
        std::cerr << "kv830-host: the device refused the snapshot request" << std::endl;
        return false;
    }
    if (!opt_.output_file.empty()) {
        std::string error;
        if (!write_file_atomically(opt_.output_file, text, error)) {
            std::cerr << "kv830-host: " << error << std::endl;
            return false;
        }
    }
    const std::string shown = opt_.pretty ? kv830host::pretty_snapshot(text) : text;
    if (!write_all(out_fd_, shown)) {
        std::cerr << "kv830-host: cannot write the snapshot: " << std::strerror(errno) << std::endl;
        return false;
    }
    return true;
}

void Program::sleep_until(std::chrono::steady_clock::time_point t) const {
    while (g_stop == 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= t) {
            return;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(t - now, std::chrono::milliseconds(50)));
    }
}

void Program::load_cache() {
    kv830host::HistoryRow row;
    std::string error;
    if (!history_.newest(opt_.data_id, kRecordType, row, error)) {
        if (!error.empty()) {
            std::cerr << "kv830-host: history: " << error << std::endl;
        }
        return;
    }
    observer_->set_loading_cache(true);
    const int taken =
        device_->LoadFromCache(row.record.data(), static_cast<int>(row.record.size()));
    observer_->set_loading_cache(false);
    if (taken == 1) {
        std::cerr << "kv830-host: serving the record of " << row.time << " (history row " << row.id
                  << ") until the first new cycle" << std::endl;
    } else {
        std::cerr << "kv830-host: history row " << row.id << " holds " << row.record.size()
                  << " bytes; the device did not take it" << std::endl;
    }
}

int Program::do_write(SPModbus& modbus) {
    const auto& w = opt_.write;
    std::vector<std::uint16_t> in;
    in.push_back(static_cast<std::uint16_t>(w.address));
    in.insert(in.end(), w.values.begin(), w.values.end());
    const bool multiple = w.values.size() > 1;
    const int code = multiple ? kWriteRegisters : kWriteRegister;
    int size = 0;
    if (device_->DeviceIoControl(code, in.data(), static_cast<int>(in.size() * 2), nullptr, 0,
                                 size) != 0) {
        std::cerr << "kv830-host: the device refused the write request " << code << std::endl;
        return kv830host::kExitUsage;
    }
    const qdxhost::DriveResult r = link_->drive(modbus, &g_abort);
    std::int32_t result = -1;
    size = 0;
    device_->DeviceIoControl(kReadbackRequest, nullptr, 0, &result, static_cast<int>(sizeof result),
                             size);
    std::ostringstream what;
    what << "write " << (multiple ? "registers " : "register ") << w.address;
    for (std::size_t i = 0; i < w.values.size(); ++i) {
        what << (i == 0 ? "=" : ",") << w.values[i];
    }
    if (r.write_retried) {
        what << " (sent again: no reply came)";
    }
    if (r.last == qdxhost::Exchange::Refused) {
        std::cerr << what.str() << ": refused (exception " << r.exception << ")" << std::endl;
        return kv830host::kExitNotConfirmed;
    }
    if (r.last == qdxhost::Exchange::Garbled) {
        std::cerr << what.str() << ": reply garbled, outcome unknown" << std::endl;
        return kv830host::kExitNoReply;
    }
    if (result == 1) {
        std::cerr << what.str() << ": confirmed" << std::endl;
        return kv830host::kExitOk;
    }
    if (result == 3) {
        std::cerr << what.str() << ": not confirmed" << std::endl;
        return kv830host::kExitNotConfirmed;
    }
    std::cerr << what.str() << ": no reply (" << qdxhost::exchange_name(r.last) << ")" << std::endl;
    return kv830host::kExitNoReply;
}

void Program::run_cycles(SPModbus& modbus) {
    using Clock = std::chrono::steady_clock;
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt_.interval_s));
    auto next = Clock::now();
    for (long cycle = 1; opt_.cycles < 0 || cycle <= opt_.cycles; ++cycle) {
        sleep_until(next);
        if (g_stop != 0) {
            break;
        }
        // While the link is down, cycles follow its reopening backoff instead of spinning.
        if (!link_->is_open()) {
            sleep_until(link_->next_attempt());
            if (g_stop != 0) {
                break;
            }
        }
        const auto start = Clock::now();
        next = start + interval;
        const unsigned long published_before = observer_->published();
        device_->RefreshStatus();
        const qdxhost::DriveResult r = link_->drive(modbus, &g_abort);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const unsigned long published = observer_->published() - published_before;
        std::ostringstream line;
        line << "cycle " << cycle << ": " << std::fixed << std::setprecision(3) << seconds << " s, "
             << r.answered << " answered, " << r.failed << " failed, " << r.retries
             << " retried, published " << published << " (" << observer_->published() << " in all)";
        if (r.aborted) {
            line << ", interrupted";
        } else if (r.failed != 0) {
            line << ", abandoned (" << qdxhost::exchange_name(r.last) << ")";
        }
        std::cerr << line.str() << std::endl;
        if (opt_.watch && !emit_snapshot()) {
            g_stop = 1;
        }
    }
}

int Program::run() {
    std::string error;
    if (opt_.history && !history_.open(opt_.history_file, error)) {
        std::cerr << "kv830-host: " << error << std::endl;
        return kv830host::kExitFailure;
    }
    link_ = std::make_unique<qdxhost::ModbusLink>(opt_.link, std::cerr);
    // A folder, a file that is not a serial line, a port held by another process, a host
    // name that does not exist: waiting mends none of them.
    if (!link_->ensure_open() && link_->open_failed_fatally()) {
        std::cerr << "kv830-host: " << link_->last_error() << std::endl;
        return kv830host::kExitFailure;
    }
    kv830host::PluginLoader loader;
    const std::string plugin = opt_.plugin.empty() ? kv830host::default_plugin_path() : opt_.plugin;
    if (!loader.load(plugin, error)) {
        std::cerr << "kv830-host: " << error << std::endl;
        return kv830host::kExitFailure;
    }
    std::unique_ptr<QDXSPDevice> device(loader.create());
    auto* modbus = dynamic_cast<SPModbus*>(device.get());
    if (modbus == nullptr) {
        std::cerr << "kv830-host: " << plugin << " creates no Modbus device" << std::endl;
        return kv830host::kExitFailure;
    }
    device_ = device.get();
    observer_ = std::make_unique<HostObserver>(opt_.history ? &history_ : nullptr, std::cerr);
    qdxhost::HostAccess::set_observer(*device_, observer_.get());

    device_->Init(std::weak_ptr<QDXController>(), opt_.data_id, Json::Value());
    device_->InitSetting(opt_.settings);
    std::cerr << "kv830-host: " << plugin << ", data id " << opt_.data_id << ", link "
              << opt_.link.describe() << ", timeout " << opt_.link.timeout_ms << " ms, history "
              << (opt_.history ? opt_.history_file : std::string("off")) << std::endl;
    if (opt_.history) {
        load_cache();
    }

    int status = kv830host::kExitOk;
    if (opt_.write.present) {
        status = do_write(*modbus);
    }
    run_cycles(*modbus);
    if (g_stop != 0) {
        std::cerr << "kv830-host: stopped by signal" << std::endl;
    }
    if (opt_.history) {
        std::cerr << "kv830-host: " << history_.rows_written() << " rounds saved to "
                  << opt_.history_file << std::endl;
    }
    // --watch has shown every cycle's snapshot already; a lone write shows none.
    const bool final_snapshot =
        !(opt_.watch && opt_.cycles != 0) && !(opt_.write.present && opt_.cycles == 0);
    if (final_snapshot && !emit_snapshot() && status == kv830host::kExitOk) {
        status = kv830host::kExitFailure;
    }
    std::cout.flush();
    qdxhost::HostAccess::set_observer(*device_, nullptr);
    device.reset();
    device_ = nullptr;
    link_.reset();
    if (observer_->save_failures() != 0 && status == kv830host::kExitOk) {
        status = kv830host::kExitFailure;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "export") == 0) {
        return kv830host::run_export(argc - 1, argv + 1, std::cout, std::cerr);
    }
    Options options;
    std::string error;
    if (!kv830host::parse_options(argc, argv, options, error)) {
        std::cerr << "kv830-host: " << error << "\n(try kv830-host --help)" << std::endl;
        return kv830host::kExitUsage;
    }
    if (options.help) {
        std::cout << kv830host::usage("kv830-host");
        return kv830host::kExitOk;
    }
    std::cout.flush();
    const int out_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int log_fd = STDERR_FILENO;
    if (!options.log_file.empty()) {
        log_fd = ::open(options.log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log_fd < 0) {
            std::cerr << "kv830-host: cannot open log " << options.log_file << ": "
                      << std::strerror(errno) << std::endl;
            return kv830host::kExitUsage;
        }
    }
    if (out_fd < 0 || ::dup2(log_fd, STDOUT_FILENO) < 0) {
        std::cerr << "kv830-host: cannot set up standard output: " << std::strerror(errno)
                  << std::endl;
        return kv830host::kExitFailure;
    }
    if (log_fd != STDERR_FILENO) {
        ::close(log_fd);
    }
    install_signals();
    const int status = Program(std::move(options), out_fd).run();
    ::close(out_fd);
    return status;
}
