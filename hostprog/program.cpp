#include "program.h"

#include <fcntl.h>
#include <json/value.h>
#include <poll.h>
#include <sys/eventfd.h>
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

#include "console_output.h"
#include "history_export.h"
#include "history_output.h"
#include "http_output.h"
#include "modbus_server_output.h"
#include "mqtt_output.h"
#include "node_id.h"
#include "plugin_loader.h"
#include "program_version.h"
#include "signals_command.h"

namespace kv830host {

namespace {

// Often enough for any watchdog period a unit would set.
constexpr auto kWatchdogEvery = std::chrono::milliseconds(1000);
constexpr mode_t kLogFileMode = 0644;

extern "C" void on_interrupt(int) {
    request_stop(false);
}

extern "C" void on_terminate(int) {
    request_stop(true);
}

extern "C" void on_hangup(int) {
    request_reopen();
}

}  // namespace

void install_signal_handlers() {
    // The wake-up descriptors exist before a handler may write to them.
    static_cast<void>(stop_fd());
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

namespace {

// The devices and the shape of the run, as the output kinds see them.
void describe_run(const Options& core, OutputContext& context) {
    for (const DeviceOptions& device : core.devices) {
        DeviceInfo info;
        info.data_id = device.data_id;
        info.slave = device.link.slave;
        info.link = device.link.describe();
        info.gateway = device.gateway;
        context.devices.push_back(info);
    }
    context.plugin_path = core.plugin.empty() ? default_plugin_path() : core.plugin;
    context.interval_s = core.interval_s;
    context.run.cycles = core.cycles;
    context.run.cycles_given = core.cycles_given;
    context.run.console_write = core.write.present;
    context.run.settings_file = core.settings_file;
}

}  // namespace

// A test's or a tool's watcher, as an output like any other.
class Program::WatcherOutput : public Output {
  public:
    explicit WatcherOutput(Watcher watcher) : watcher_(std::move(watcher)) {}
    bool start(std::string&) override { return true; }
    void on_round(const RoundPtr& round) override { watcher_(round); }
    void stop() override {}
    RoundNeeds needs() const override { return {true, false}; }

  private:
    Watcher watcher_;
};

// The alarms fed from every round before any other output sees it, so that the events of
// a round reach the outputs before the round itself.
class Program::AlarmFeed : public Output {
  public:
    explicit AlarmFeed(AlarmBoard& board) : board_(board) {}
    bool start(std::string&) override { return true; }
    void on_round(const RoundPtr& round) override { board_.on_round(*round); }
    void describe_metrics(MetricsText& out) const override { board_.describe_metrics(out); }
    void stop() override {}
    RoundNeeds needs() const override { return {true, true}; }

  private:
    AlarmBoard& board_;
};

Program::Program(ProgramOptions options, int out_fd, std::ostream& status)
    : opt_(std::move(options)), out_fd_(out_fd), sink_(status), status_(sink_, ""), shared_(sink_) {
    Options& core = opt_.core;
    if (core.devices.empty()) {
        // Options made by hand rather than parsed: the one device they describe.
        core.devices = {
            DeviceOptions{core.data_id, core.settings, core.link, {}}
        };
    }
    shared_.interval_s = core.interval_s;
    shared_.cycles = core.cycles;
    shared_.settings_file = core.settings_file;
    shared_.device_list = core.device_list;
    shared_.several = core.devices.size() > 1;
    build_context();
    std::vector<WritePolicy::Device> writable;
    for (const DeviceInfo& device : context_.devices) {
        writable.push_back(
            {device.data_id, WritableRegisters::settings_of(device.gateway.signals)});
    }
    policy_ = std::make_unique<WritePolicy>(
        std::move(writable), sink_, [this](const WriteCommand& command, WriteDone done) {
            DeviceRunner* device = device_of(command.data_id);
            if (device == nullptr) {
                WriteOutcome outcome;
                outcome.kind = WriteOutcome::Kind::Refused;
                outcome.refusal = WriteRefusal::UnknownDevice;
                outcome.reason = "the device of data id " + std::to_string(command.data_id) +
                                 " is not polled yet";
                done(outcome);
                return;
            }
            device->queue_write(command, std::move(done));
        });
    context_.writes = policy_.get();
    std::vector<std::pair<unsigned, const SignalModel*>> alarm_devices;
    for (const DeviceInfo& device : context_.devices) {
        alarm_devices.emplace_back(device.data_id, &device.gateway.signals);
    }
    alarms_ = std::make_unique<AlarmBoard>(alarm_devices, core.alarm_limits, sink_);
    alarms_->set_admit([this](const RemoteWrite& command, bool remember, WriteOutcome& refusal) {
        return policy_->admit_once(command, remember, refusal);
    });
    alarms_->set_deliver([this](const AlarmNews& news) {
        for (Output* output : shared_.outputs) {
            output->on_alarms(news);
        }
    });
    context_.alarms = alarms_.get();
}

Program::~Program() {
    for (auto& line : lines_) {
        line->join();
    }
    lines_.clear();
    devices_.clear();
}

void Program::add_watcher(Watcher watcher) {
    outputs_.push_back(std::make_unique<WatcherOutput>(std::move(watcher)));
}

void Program::build_context() {
    describe_run(opt_.core, context_);
    context_.status = &sink_;
    context_.out_fd = out_fd_;
    context_.collect_metrics = [this](MetricsText& out) {
        for (const auto& output : outputs_) {
            output->describe_metrics(out);
        }
    };
    context_.collect_status = [this](Json::Value& out) {
        for (const auto& output : outputs_) {
            output->describe_status(out);
        }
    };
    context_.current_snapshot = [this](unsigned data_id, std::string& text) {
        DeviceRunner* device = device_of(data_id);
        return device != nullptr && device->current_snapshot(text);
    };
    context_.stop_polling = [this] { shared_.stop_requested = true; };
}

void Program::reopen_log() {
    if (opt_.core.log_file.empty()) {
        return;
    }
    std::cout.flush();
    const int fd =
        ::open(opt_.core.log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kLogFileMode);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) {
        status_ << "kv830-host: cannot reopen log " << opt_.core.log_file << ": "
                << std::strerror(errno) << "; the old one is kept" << std::endl;
    } else {
        status_ << "kv830-host: log " << opt_.core.log_file << " reopened" << std::endl;
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

void Program::housekeeping() {
    if (take_reopen()) {
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

// Every output the options ask for, in the kinds' order, before any link opens: a
// refusal here is the settings', and nothing has been polled.
int Program::make_outputs() {
    std::vector<std::unique_ptr<Output>> watchers = std::move(outputs_);
    outputs_.clear();
    for (const auto& kind : opt_.outputs) {
        std::string error;
        std::unique_ptr<Output> output = kind->make(context_, error);
        if (!error.empty()) {
            status_ << "kv830-host: " << error << std::endl;
            outputs_.clear();
            return kExitUsage;
        }
        if (output) {
            outputs_.push_back(std::move(output));
        }
    }
    for (auto& watcher : watchers) {
        outputs_.push_back(std::move(watcher));
    }
    outputs_.insert(outputs_.begin(), std::make_unique<AlarmFeed>(*alarms_));
    for (const auto& output : outputs_) {
        shared_.outputs.push_back(output.get());
        const RoundNeeds needs = output->needs();
        shared_.needs.snapshot = shared_.needs.snapshot || needs.snapshot;
        shared_.needs.document = shared_.needs.document || needs.document;
    }
    return kExitOk;
}

bool Program::start_outputs() {
    for (const auto& output : outputs_) {
        std::string error;
        if (!output->start(error)) {
            status_ << "kv830-host: " << error << std::endl;
            return false;
        }
        ++started_;
    }
    return true;
}

void Program::stop_outputs() {
    for (std::size_t i = 0; i < started_; ++i) {
        outputs_[i]->stop();
    }
    started_ = 0;
}

// Start failed after the devices were made: nothing polled, nothing left running.
void Program::abandon_start() {
    stop_outputs();
    lines_.clear();
    devices_.clear();
}

// Every device made from the one provider, with its own data id and settings, before
// any link opens: a refused settings entry opens nothing.
int Program::start_devices(const PluginLoader& loader) {
    for (const DeviceOptions& options : opt_.core.devices) {
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
    std::vector<qdxhost::LinkSettings> links;
    for (const auto& device : devices_) {
        links.push_back(device->link_settings());
    }
    const std::vector<std::size_t> first_on_line = lines_of(links);
    std::map<std::size_t, LineRunner*> by_first;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        auto found = by_first.find(first_on_line[i]);
        if (found == by_first.end()) {
            lines_.push_back(std::make_unique<LineRunner>(devices_[i]->link_settings(), shared_));
            found = by_first.emplace(first_on_line[i], lines_.back().get()).first;
        }
        found->second->add(*devices_[i]);
    }
    for (const auto& line : lines_) {
        if (line->devices().size() > 1) {
            for (DeviceRunner* device : line->devices()) {
                device->share_line();
            }
        }
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
// Between rounds nothing wakes this thread but what it must do: a log to reopen, the
// watchdog when a service manager asks for one, a line that has finished.
void Program::poll_lines() {
    const auto every = notifier_.enabled() ? std::chrono::steady_clock::duration(kWatchdogEvery)
                                           : std::chrono::steady_clock::duration::zero();
    if (lines_.size() == 1) {
        lines_.front()->set_between_every(every);
        lines_.front()->run([this] { housekeeping(); });
        return;
    }
    const int finished = ::eventfd(0, EFD_CLOEXEC);
    for (const auto& line : lines_) {
        line->set_on_finished([finished] {
            const std::uint64_t one = 1;
            const ssize_t n = ::write(finished, &one, sizeof one);
            static_cast<void>(n);
        });
        line->start();
    }
    for (;;) {
        housekeeping();
        const bool all_finished = std::all_of(lines_.begin(), lines_.end(),
                                              [](const auto& line) { return line->finished(); });
        if (all_finished) {
            break;
        }
        pollfd fds[2] = {
            {finished,    POLLIN, 0},
            {reopen_fd(), POLLIN, 0},
        };
        const int timeout_ms = notifier_.enabled() ? static_cast<int>(kWatchdogEvery.count()) : -1;
        if (::poll(fds, finished >= 0 ? 2 : 0, finished >= 0 ? timeout_ms : 50) > 0 &&
            (fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            const ssize_t n = ::read(finished, &count, sizeof count);
            static_cast<void>(n);
        }
    }
    for (const auto& line : lines_) {
        line->join();
    }
    if (finished >= 0) {
        ::close(finished);
    }
}

std::string Program::start_line(const DeviceOptions& device) const {
    std::string line = "kv830-host: " + plugin_path_ + ", data id " +
                       std::to_string(device.data_id) + ", link " + device.link.describe() +
                       ", timeout " + std::to_string(device.link.timeout_ms) + " ms, retries " +
                       std::to_string(device.link.retries);
    // The default settings file is read when it exists: the line says which one was.
    line += opt_.core.settings_file.empty() ? ", no settings file"
                                            : ", settings " + opt_.core.settings_file;
    for (const auto& output : outputs_) {
        const std::string words = output->describe();
        if (!words.empty()) {
            line += ", " + words;
        }
    }
    return line;
}

// What the run ended with: the write's, what the outputs could not do, and a run of
// --cycles N in which devices completed no round; the lowest non-zero status wins.
int Program::end_status(int status) {
    for (const auto& output : outputs_) {
        status = combine_exit_status(status, output->exit_status());
    }
    unsigned long long rounds = 0;
    bool one_without = false;
    for (const auto& device : devices_) {
        rounds += device->rounds_completed();
        one_without = one_without || device->rounds_completed() == 0;
        if (opt_.core.cycles != 0) {
            status_ << "kv830-host: " << device->summary(opt_.core.cycles) << std::endl;
        }
    }
    if (opt_.core.cycles <= 0 || stop_flags().stop != 0) {
        return status;
    }
    if (rounds == 0) {
        status_ << "kv830-host: not one of " << opt_.core.cycles << " cycles completed a round"
                << std::endl;
        return combine_exit_status(status, kExitNoRound);
    }
    // With several devices one that completed nothing is a shortfall, not a failed run.
    return one_without ? combine_exit_status(status, kExitShortfall) : status;
}

// Once per run, before the outputs that name the gateway are made.
bool Program::resolve_node() {
    std::string state_file;
    for (const auto& kind : opt_.outputs) {
        state_file = kind->state_file();
        if (!state_file.empty()) {
            break;
        }
    }
    std::string error;
    if (!resolve_node_id(opt_.core.node_id, kMachineIdFile, node_id_file_beside(state_file),
                         context_.node_id, error)) {
        status_ << "kv830-host: node id: " << error << std::endl;
        return false;
    }
    return true;
}

int Program::run() {
    if (!resolve_node()) {
        return kExitFailure;
    }
    int status = make_outputs();
    if (status != kExitOk) {
        return status;
    }
    std::string error;
    PluginLoader loader;
    plugin_path_ = context_.plugin_path;
    if (!loader.load(plugin_path_, error)) {
        status_ << "kv830-host: " << error << std::endl;
        return kExitFailure;
    }
    status = start_devices(loader);
    if (status != kExitOk) {
        return status;
    }
    if (!start_outputs()) {
        abandon_start();
        return kExitFailure;
    }
    // The journal's file exists once its output has started.
    if (context_.alarm_journal != nullptr) {
        std::string journal_error;
        if (!alarms_->restore(*context_.alarm_journal, journal_error)) {
            status_ << "kv830-host: alarms: the journal could not be read (" << journal_error
                    << "); the list starts empty" << std::endl;
        }
    }
    alarms_->announce();
    status = start_lines();
    if (status != kExitOk) {
        return status;
    }
    for (const DeviceOptions& device : opt_.core.devices) {
        status_ << start_line(device) << std::endl;
    }
    if (context_.archive != nullptr) {
        for (const auto& device : devices_) {
            device->serve_archived(*context_.archive);
        }
    }
    notifier_.notify("READY=1");

    if (opt_.core.write.present) {
        DeviceRunner* target = device_of(opt_.core.data_id);
        for (const auto& line : lines_) {
            const auto& on_line = line->devices();
            if (std::find(on_line.begin(), on_line.end(), target) != on_line.end()) {
                status = target->write_now(line->link(), opt_.core.write);
            }
        }
    }
    poll_lines();
    notifier_.notify("STOPPING=1");
    if (stop_flags().stop != 0) {
        status_ << "kv830-host: stopped by signal" << std::endl;
    }
    // In the outputs' order: the history commits before anything slower runs.
    stop_outputs();
    status = end_status(status);
    lines_.clear();
    devices_.clear();
    return status;
}

std::vector<std::unique_ptr<OutputKind>> make_output_kinds() {
    std::vector<std::unique_ptr<OutputKind>> kinds;
    kinds.push_back(make_history_kind());
    kinds.push_back(make_mqtt_kind());
    kinds.push_back(make_http_kind());
    kinds.push_back(make_modbus_server_kind());
    kinds.push_back(make_console_kind());
    return kinds;
}

namespace {

std::vector<kv830cli::Option> kind_rows(const ProgramOptions& options) {
    std::vector<kv830cli::Option> rows;
    for (const auto& kind : options.outputs) {
        std::vector<kv830cli::Option> own = kind->option_rows();
        rows.insert(rows.end(), own.begin(), own.end());
    }
    return rows;
}

}  // namespace

bool parse_program_options(int argc, const char* const* argv, ProgramOptions& out,
                           std::string& error, const std::string& default_settings_file) {
    out.outputs = make_output_kinds();
    if (!parse_options(argc, argv, out.core, error, default_settings_file, kind_rows(out))) {
        return false;
    }
    if (out.core.help || out.core.version) {
        return true;
    }
    // The checks see the devices as the program will: the kinds refuse what does not hold
    // together before anything is made.
    OutputContext context;
    describe_run(out.core, context);
    for (const auto& kind : out.outputs) {
        if (!kind->check(context, error)) {
            return false;
        }
    }
    return true;
}

std::string program_usage(const char* program) {
    ProgramOptions scratch;
    scratch.outputs = make_output_kinds();
    return usage(program, kind_rows(scratch));
}

int run_main(int argc, const char* const* argv) {
    if (argc > 1 && argv[1] != nullptr && std::strcmp(argv[1], "export") == 0) {
        return run_export(argc - 1, const_cast<char**>(argv + 1), std::cout, std::cerr);
    }
    if (argc > 1 && argv[1] != nullptr && std::strcmp(argv[1], "signals") == 0) {
        return run_signals(argc - 1, argv + 1, std::cout, std::cerr);
    }
    ProgramOptions options;
    std::string error;
    if (!parse_program_options(argc, argv, options, error)) {
        std::cerr << "kv830-host: " << error << "\n(try kv830-host --help)" << std::endl;
        return kExitUsage;
    }
    if (options.core.version) {
        std::cout << "kv830-host " << kProgramVersion << "\n";
        if (*kProjectAddress != '\0') {
            std::cout << kProjectAddress << "\n";
        }
        std::cout << std::flush;
        return std::cout ? kExitOk : kExitFailure;
    }
    if (options.core.help) {
        std::cout << program_usage("kv830-host");
        std::cout.flush();
        return std::cout ? kExitOk : kExitFailure;
    }
    // The driver writes its diagnostic lines to std::cout: the real standard output is
    // kept on a private descriptor for snapshots and descriptor 1 points at the log.
    std::cout.flush();
    const int out_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int log_fd = STDERR_FILENO;
    if (!options.core.log_file.empty()) {
        log_fd = ::open(options.core.log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                        kLogFileMode);
        if (log_fd < 0) {
            std::cerr << "kv830-host: cannot open log " << options.core.log_file << ": "
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
