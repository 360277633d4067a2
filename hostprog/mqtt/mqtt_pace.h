// The backlog's pace: a budget of rounds that fills at the replay rate, up to a short
// burst after a pause. On the network thread only.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "mqtt_clock.h"

namespace kv830host {

class ReplayPace {
  public:
    // How far ahead of its rate the backlog may send after a pause.
    static constexpr double kBurstS = 0.2;

    explicit ReplayPace(unsigned rate) : rate_(rate) {}

    void start(mqtt_time::Clock::time_point now) { at_ = now; }
    void refill(mqtt_time::Clock::time_point now) {
        const double rate = static_cast<double>(rate_);
        tokens_ = std::min(std::max(1.0, rate * kBurstS),
                           tokens_ + rate * mqtt_time::seconds_between(at_, now));
        at_ = now;
    }
    bool ready() const { return tokens_ >= 1.0; }
    // Rounds that may go now, at most `cap`: as many as take() would allow one by one.
    int available(int cap) const {
        double tokens = tokens_;
        int n = 0;
        while (n < cap && tokens >= 1.0) {
            tokens -= 1.0;
            ++n;
        }
        return n;
    }
    void take(std::size_t rounds) {
        for (std::size_t i = 0; i < rounds; ++i) {
            tokens_ -= 1.0;
        }
    }
    // Whether the pace, not the network, holds the backlog back.
    bool holds_back() const { return !ready() && rate_ != 0; }
    // Until the next round may go, at least 1 ms and at most `idle_ms`.
    int ms_to_next(int idle_ms) const {
        const double ms = (1.0 - tokens_) * 1000.0 / static_cast<double>(rate_);
        return std::max(1, std::min(idle_ms, static_cast<int>(std::ceil(ms))));
    }

  private:
    const unsigned rate_;
    double tokens_ = 0.0;
    mqtt_time::Clock::time_point at_{};
};

}  // namespace kv830host
