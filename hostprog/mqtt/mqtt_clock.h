// The network thread's sense of time, shared by the publisher and its session: a steady
// clock for deadlines and the longest the thread sleeps.
#pragma once

#include <algorithm>
#include <chrono>

namespace kv830host {
namespace mqtt_time {

using Clock = std::chrono::steady_clock;

// The thread sleeps until a round or the broker wakes it, or a deadline of its own is due
// (the next connection attempt, the replay's pace, a keepalive): at most this long.
constexpr int kIdleMaxMs = 60000;

inline Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

inline double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Rounded up, so that a wait for `t` does not wake just before it.
inline int ms_until(Clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(ms + 1, kIdleMaxMs)));
}

}  // namespace mqtt_time
}  // namespace kv830host
