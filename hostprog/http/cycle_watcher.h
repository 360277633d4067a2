// Tells the server's event loop when cycles arrive, so that open event streams get their
// events at once and nothing wakes up between cycles. PlantState offers a blocking wait;
// one small thread waits there and rings the loop through an eventfd (a write that takes
// no allocation). Started with the first event stream, so a program whose page nobody
// opens never runs it.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <cstdint>
#include <functional>
#include <string>

#include "plant_state.h"
#include "small_thread.h"

namespace kv830host {

class CycleWatcher {
  public:
    CycleWatcher(boost::asio::io_context& loop, const PlantState& state,
                 std::function<void()> on_cycles);
    ~CycleWatcher();
    CycleWatcher(const CycleWatcher&) = delete;
    CycleWatcher& operator=(const CycleWatcher&) = delete;

    // On the loop's thread.
    bool start(std::string& error);
    bool running() const { return thread_.running(); }
    // From any thread but the loop's, once the loop has ended.
    void stop();

  private:
    void arm();
    void watch();

    const PlantState& state_;
    const std::function<void()> on_cycles_;
    boost::asio::posix::stream_descriptor bell_;
    std::uint64_t rung_ = 0;  // what the loop reads from the eventfd
    int fd_ = -1;             // the eventfd, for the watcher's thread
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    SmallThread thread_;
};

}  // namespace kv830host
