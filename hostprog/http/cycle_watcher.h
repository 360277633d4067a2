// Tells the server's event loop when cycles arrive, so that open event streams get their
// events at once and nothing wakes up between cycles. PlantState offers a blocking wait;
// one small thread waits there and rings the loop through an eventfd (a write that takes
// no allocation). It starts with the first event stream, so a program whose page nobody
// opens never runs it, and it sleeps without waking while no stream is open.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "plant_state.h"
#include "small_thread.h"

namespace kv830host {

class CycleWatcher {
  public:
    // `streams` counts the open event streams.
    CycleWatcher(boost::asio::io_context& loop, const PlantState& state,
                 const std::atomic<unsigned>& streams, std::function<void()> on_cycles);
    ~CycleWatcher();
    CycleWatcher(const CycleWatcher&) = delete;
    CycleWatcher& operator=(const CycleWatcher&) = delete;

    // On the loop's thread, once a stream has opened (and counts in `streams`).
    bool stream_opened(std::string& error);
    // From any thread but the loop's, once the loop has ended.
    void stop();

  private:
    bool start(std::string& error);
    void arm();
    void watch();
    bool wanted();  // false once stopping; waits while no stream is open

    const PlantState& state_;
    const std::atomic<unsigned>& streams_;
    const std::function<void()> on_cycles_;
    boost::asio::posix::stream_descriptor bell_;
    std::uint64_t rung_ = 0;  // what the loop reads from the eventfd
    int fd_ = -1;             // the eventfd, for the watcher's thread
    std::mutex mutex_;
    std::condition_variable parked_;
    bool stopping_ = false;  // under mutex_
    std::atomic<bool> finished_{false};
    SmallThread thread_;
};

}  // namespace kv830host
