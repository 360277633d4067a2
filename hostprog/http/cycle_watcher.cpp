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
                           std::function<void()> on_cycles)
    : state_(state), on_cycles_(std::move(on_cycles)), bell_(loop) {}

CycleWatcher::~CycleWatcher() {
    stop();
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

void CycleWatcher::watch() {
    std::uint64_t seen = state_.last_seq();
    while (!stopping_.load()) {
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
    stopping_ = true;
    // A wake that comes between the watcher's check of stopping_ and its wait is lost, so
    // it is repeated until the watcher has left.
    while (!finished_.load()) {
        state_.wake_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
}

}  // namespace kv830host
