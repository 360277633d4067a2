#include "line_runner.h"

#include <algorithm>

namespace kv830host {

namespace {

// The link's own reopening backoff, which rounds follow while the link is down.
constexpr auto kFirstBackoff = std::chrono::milliseconds(500);
constexpr auto kLastBackoff = std::chrono::milliseconds(8000);
// A line is stuck when no round ended for this long, or for twice a round that gives up
// on its first request after every retry, whichever is longer.
constexpr auto kStuckAtLeast = std::chrono::seconds(10);

}  // namespace

LineRunner::LineRunner(const qdxhost::LinkSettings& settings, PollShared& shared)
    : shared_(shared),
      log_(shared.sink, ""),
      link_(std::make_unique<qdxhost::ModbusLink>(settings, log_)) {
    stamp();
}

LineRunner::~LineRunner() {
    join();
}

bool LineRunner::open_at_start(std::string& error) {
    // A folder, a file that is not a serial line, a port held by another process, a host
    // name that does not exist: waiting mends none of them.
    if (!link_->ensure_open() && link_->open_failed_fatally()) {
        error = link_->last_error();
        return false;
    }
    return true;
}

LineRunner::Clock::duration LineRunner::stuck_after() const {
    const qdxhost::LinkSettings& s = link_->settings();
    const auto round = std::chrono::milliseconds(2LL * (s.retries + 1) * s.timeout_ms);
    return std::max<Clock::duration>(kStuckAtLeast, round);
}

bool LineRunner::stopping() const {
    return stop_flags().stop != 0 || shared_.stop_requested.load();
}

// Sleeps until the next round is due: nothing wakes the line before then but a stop, and
// on the program's own thread the work `between` must do (a log to reopen, the service
// manager's watchdog every `between_every_`).
void LineRunner::sleep_until(Clock::time_point t, const std::function<void()>& between) {
    while (!stopping()) {
        // Asleep on purpose until t: a line that waits for its next round is not stuck.
        progress_ = std::max(Clock::now(), t).time_since_epoch().count();
        if (between) {
            between();
        }
        const auto now = Clock::now();
        if (now >= t) {
            return;
        }
        Clock::time_point wake = t;
        if (between && between_every_ > Clock::duration::zero()) {
            wake = std::min(t, now + between_every_);
        }
        sleep_until_or_stop(wake, between != nullptr);
    }
}

void LineRunner::run(const std::function<void()>& between) {
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(shared_.interval_s));
    auto next = Clock::now();
    Clock::duration backoff = kFirstBackoff;
    for (long cycle = 1; shared_.cycles < 0 || cycle <= shared_.cycles; ++cycle) {
        sleep_until(next, between);
        if (stopping()) {
            break;
        }
        const auto began = Clock::now();
        next = began + interval;
        bool link_down = false;
        for (DeviceRunner* device : devices_) {
            if (stopping()) {
                break;
            }
            device->run_pending_writes(*link_);
            // A silent device on a shared line waits its turn, so that its neighbours keep
            // their interval; writes for it still go out above.
            if (devices_.size() > 1 && !device->due(Clock::now())) {
                continue;
            }
            link_down = device->poll_round(*link_, cycle) || link_down;
            stamp();
            if (between) {
                between();
            }
        }
        // While the link is down the rounds follow its reopening backoff instead of
        // spinning at --interval 0.
        if (link_down) {
            next = std::max(next, began + backoff);
            backoff = std::min<Clock::duration>(backoff * 2, kLastBackoff);
        } else {
            backoff = kFirstBackoff;
        }
    }
    for (DeviceRunner* device : devices_) {
        device->finish();
    }
    finished_ = true;
    if (on_finished_) {
        on_finished_();
    }
}

void LineRunner::start() {
    thread_ = std::thread([this] { run(nullptr); });
}

void LineRunner::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace kv830host
