// One serial line or TCP peer and the devices on it: one link, one request outstanding,
// the devices' rounds one after the other. Each line runs on a thread of its own, so a
// controller that does not answer costs only its own line's time.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device_runner.h"
#include "modbus_link.h"
#include "status_lines.h"

namespace kv830host {

class LineRunner {
  public:
    using Clock = std::chrono::steady_clock;

    LineRunner(const qdxhost::LinkSettings& settings, PollShared& shared);
    ~LineRunner();
    LineRunner(const LineRunner&) = delete;
    LineRunner& operator=(const LineRunner&) = delete;

    void add(DeviceRunner& device) { devices_.push_back(&device); }
    const std::vector<DeviceRunner*>& devices() const { return devices_; }
    qdxhost::ModbusLink& link() { return *link_; }

    // Opens the link; false only when waiting cannot mend it (reason in `error`).
    bool open_at_start(std::string& error);

    // Polls on the calling thread until --cycles or a stop; `between` runs whenever the
    // line wakes while it waits (at least every `every`, when not zero) and after each
    // device's round.
    void run(const std::function<void()>& between);
    void set_between_every(Clock::duration every) { between_every_ = every; }
    // Runs on the line's thread once it has finished.
    void set_on_finished(std::function<void()> done) { on_finished_ = std::move(done); }
    // The same on a thread of the line's own; join() waits for its end.
    void start();
    void join();

    bool finished() const { return finished_.load(); }
    // When the line last showed it was alive (a round ended, or it waited for the next).
    Clock::time_point last_progress() const {
        return Clock::time_point(Clock::duration(progress_.load()));
    }
    // How long a round may take on this line before its thread counts as stuck.
    Clock::duration stuck_after() const;

  private:
    void stamp() { progress_ = Clock::now().time_since_epoch().count(); }
    void sleep_until(Clock::time_point t, const std::function<void()>& between);
    bool stopping() const;

    PollShared& shared_;
    StatusStream log_;
    std::unique_ptr<qdxhost::ModbusLink> link_;
    std::vector<DeviceRunner*> devices_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    Clock::duration between_every_{};
    std::function<void()> on_finished_;
    std::atomic<Clock::rep> progress_{0};
};

}  // namespace kv830host
