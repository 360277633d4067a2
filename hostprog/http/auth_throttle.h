// Slows down guessing of the write token: after a few wrong tokens from one client, each
// further wrong one is answered later and later. The server's thread only, except the
// total, which /metrics reads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace kv830host {

struct AuthThrottleLimits {
    unsigned free_failures = 3;  // answered at once; each one after waits longer
    std::chrono::milliseconds first_delay{1000};
    std::chrono::milliseconds max_delay{30000};
    std::chrono::seconds forget_after{900};  // a client this long without a failure starts over
    std::size_t max_clients = 4096;          // past this the longest quiet one is forgotten
};

class AuthThrottle {
  public:
    using Clock = std::chrono::steady_clock;
    explicit AuthThrottle(const AuthThrottleLimits& limits = AuthThrottleLimits())
        : limits_(limits) {}

    // Counts a wrong token from `client` and returns how long its answer waits: nothing
    // for the first free_failures, then first_delay doubling up to max_delay.
    std::chrono::milliseconds on_failure(const std::string& client, Clock::time_point now);
    void on_success(const std::string& client) { clients_.erase(client); }

    unsigned long long failures_total() const { return failures_total_.load(); }

  private:
    struct Record {
        unsigned failures = 0;
        Clock::time_point last;
    };
    void make_room(Clock::time_point now);

    const AuthThrottleLimits limits_;
    std::map<std::string, Record> clients_;
    std::atomic<unsigned long long> failures_total_{0};
};

}  // namespace kv830host
