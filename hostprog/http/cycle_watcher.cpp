#include "cycle_watcher.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <cerrno>
#include <cstring>
#include <thread>

#include "server_threads.h"

namespace kv830host {

namespace {

// Longer than any round's interval; the wait ends at every cycle and at stop() anyway.
constexpr auto kWatchSlice = std::chrono::minutes(10);

}  // namespace

CycleWatcher::CycleWatcher(boost::asio::io_context& loop, const PlantState& state,
                           const std::atomic<unsigned>& streams, std::function<void()> on_cycles)
    : state_(state), streams_(streams), on_cycles_(std::move(on_cycles)), bell_(loop) {}

CycleWatcher::~CycleWatcher() {
    stop();
}

bool CycleWatcher::stream_opened(std::string& error) {
    if (!thread_.running()) {
        return start(error);
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);  // the watcher checks under it
    }
    parked_.notify_all();
    return true;
}

bool CycleWatcher::start(std::string& error) {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    bell_.assign(fd);
    fd_ = fd;
    arm();
    return thread_.start(
        "http-watch", kWatcherStackBytes, [this] { watch(); }, error);
}

void CycleWatcher::arm() {
    bell_.async_read_some(boost::asio::buffer(&rung_, sizeof rung_),
                          [this](const boost::system::error_code& ec, std::size_t) {
                              if (ec) {
                                  return;
                              }
                              on_cycles_();
                              arm();
                          });
}

bool CycleWatcher::wanted() {
    std::unique_lock<std::mutex> lock(mutex_);
    parked_.wait(lock, [this] { return stopping_ || streams_.load() > 0; });
    return !stopping_;
}

void CycleWatcher::watch() {
    std::uint64_t seen = state_.last_seq();
    while (wanted()) {
        if (state_.wait_for_event(seen, kWatchSlice)) {
            seen = state_.last_seq();
            const std::uint64_t one = 1;
            // A full counter (never, at 2^64) or a closed bell only loses a ring.
            (void)!::write(fd_, &one, sizeof one);
        }
    }
    finished_ = true;
}

void CycleWatcher::stop() {
    if (!thread_.running()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    parked_.notify_all();
    // A wake of the plant's wait that comes between the watcher's check and its wait is
    // lost, so it is repeated until the watcher has left.
    while (!finished_.load()) {
        state_.wake_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
}

}  // namespace kv830host
