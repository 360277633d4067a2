#include "console_output.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>

#include "device_list.h"
#include "device_runner.h"
#include "file_io.h"
#include "pretty.h"

namespace kv830host {

namespace {

// A pipe takes a write of this size whole once poll says it has room.
constexpr std::size_t kOutputChunk = 4096;
// How long a stopping program waits for a reader of standard output.
constexpr auto kOutputGrace = std::chrono::seconds(1);
constexpr int kOutputPollMs = 100;

struct ConsoleSettings {
    std::string output_file;
    bool watch = false;
    bool pretty = false;
};

// Writes to standard output without hanging on a pipe that nobody reads once the
// program is asked to stop. False with errno set (EPIPE, or EAGAIN for a blocked pipe).
bool write_output(int fd, const std::string& text) {
    const StopFlags& flags = stop_flags();
    std::size_t done = 0;
    auto blocked_since = std::chrono::steady_clock::time_point{};
    while (done < text.size()) {
        pollfd p{fd, POLLOUT, 0};
        const int rc = ::poll(&p, 1, kOutputPollMs);
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

class ConsoleOutput : public Output {
  public:
    ConsoleOutput(const ConsoleSettings& settings, OutputContext& context)
        : settings_(settings), context_(context), several_(context.devices.size() > 1) {}

    bool start(std::string&) override { return true; }

    void on_round(const RoundPtr& round) override {
        if (!settings_.watch || failed_) {
            return;
        }
        std::string text = round->snapshot;
        if (!round->completed || text.empty()) {
            // A failed round shows what the device still holds, as the end of a run does.
            if (!context_.current_snapshot(round->data_id, text)) {
                fail(round->data_id, "kv830-host: the device refused the snapshot request");
                return;
            }
        }
        emit(round->data_id, text);
    }

    void stop() override {
        const RunShape& run = context_.run;
        // --watch has shown every round's snapshot already; a lone write shows none.
        if (failed_ || (settings_.watch && run.cycles != 0) ||
            (run.console_write && run.cycles == 0)) {
            return;
        }
        for (const DeviceInfo& device : context_.devices) {
            std::string text;
            if (!context_.current_snapshot(device.data_id, text)) {
                fail(device.data_id, "kv830-host: the device refused the snapshot request");
                return;
            }
            if (!emit(device.data_id, text)) {
                return;
            }
        }
    }

    int exit_status() const override { return failed_ ? kExitFailure : kExitOk; }

    RoundNeeds needs() const override { return {settings_.watch, false}; }

  private:
    // Standard output first: a file that cannot be written does not hide the snapshot.
    bool emit(unsigned data_id, const std::string& text) {
        std::string shown;
        if (settings_.pretty) {
            shown = several_ ? "data id " + std::to_string(data_id) + ":\n" + pretty_snapshot(text)
                             : pretty_snapshot(text);
        } else {
            shown = several_ ? tagged_snapshot(data_id, text) : text;
        }
        int error_number = 0;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!write_output(context_.out_fd, shown)) {
                error_number = errno;
            }
        }
        if (error_number != 0) {
            fail(data_id,
                 std::string("kv830-host: cannot write the snapshot to standard output: ") +
                     (error_number == EAGAIN ? "nobody reads it" : std::strerror(error_number)));
            return false;
        }
        if (!settings_.output_file.empty()) {
            std::string error;
            const std::string path = expand_data_id(settings_.output_file, data_id);
            if (!kv830io::write_file_atomically(path, text, error)) {
                fail(data_id, "kv830-host: " + error);
                return false;
            }
        }
        return true;
    }

    void fail(unsigned data_id, const std::string& line) {
        const std::string prefix = several_ ? "[" + std::to_string(data_id) + "] " : "";
        context_.status->write_line(prefix, line + "\n");
        failed_ = true;
        context_.stop_polling();
    }

    const ConsoleSettings settings_;
    OutputContext& context_;
    const bool several_;
    std::mutex mutex_;  // one snapshot at a time on standard output
    std::atomic<bool> failed_{false};
};

class ConsoleKind : public OutputKind {
  public:
    const char* name() const override { return "console"; }

    std::vector<kv830cli::Option> option_rows() override {
        return {
            {"watch",  0, nullptr, "print the snapshot after every cycle, not only at the end",
             [this](const std::string&,                                                                                      std::string&) {
                 settings_.watch = true;
                 return true;
             }                                                                                     },
            {"pretty", 0, nullptr, "print the snapshot as a listing grouped by plant unit",
             [this](const std::string&,                                                                                      std::string&) {
                 settings_.pretty = true;
                 return true;
             }                                                                                     },
            {"output", 0, "FILE",
             "also write the last snapshot text to FILE, as the device\nreturned it (its "
             "folder is checked at start); {data_id}\nin FILE stands for the device's data "
             "id, and is needed\nwith several devices",                                         [this](const std::string& v, std::string&) {
                 settings_.output_file = v;
                 return true;
             }},
        };
    }

    bool check(const OutputContext& context, std::string& error) override {
        if (settings_.output_file.empty()) {
            return true;
        }
        if (context.devices.size() > 1 && !has_data_id_field(settings_.output_file)) {
            error = "--output: with several devices each needs a file of its own; put " +
                    std::string(kDataIdField) + " in the name";
            return false;
        }
        for (const DeviceInfo& device : context.devices) {
            const std::string path = expand_data_id(settings_.output_file, device.data_id);
            if (!kv830io::check_folder_writable(path, error)) {
                error.insert(0, "--output " + path + ": ");
                return false;
            }
        }
        return true;
    }

    std::unique_ptr<Output> make(OutputContext& context, std::string&) override {
        return std::make_unique<ConsoleOutput>(settings_, context);
    }

  private:
    ConsoleSettings settings_;
};

}  // namespace

std::unique_ptr<OutputKind> make_console_kind() {
    return std::make_unique<ConsoleKind>();
}

}  // namespace kv830host
