#include "auth_throttle.h"

#include <algorithm>

namespace kv830host {

std::chrono::milliseconds AuthThrottle::on_failure(const std::string& client,
                                                   Clock::time_point now) {
    ++failures_total_;
    auto found = clients_.find(client);
    if (found != clients_.end() && now - found->second.last > limits_.forget_after) {
        clients_.erase(found);
        found = clients_.end();
    }
    if (found == clients_.end()) {
        make_room(now);
        found = clients_.emplace(client, Record{}).first;
    }
    Record& r = found->second;
    ++r.failures;
    r.last = now;
    if (r.failures <= limits_.free_failures) {
        return std::chrono::milliseconds(0);
    }
    const unsigned doublings = std::min(r.failures - limits_.free_failures - 1, 16U);
    const auto delay = limits_.first_delay * (1LL << doublings);
    return std::min(std::chrono::duration_cast<std::chrono::milliseconds>(delay),
                    limits_.max_delay);
}

void AuthThrottle::make_room(Clock::time_point now) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        it = now - it->second.last > limits_.forget_after ? clients_.erase(it) : std::next(it);
    }
    if (clients_.size() < limits_.max_clients) {
        return;
    }
    const auto quietest = std::min_element(
        clients_.begin(), clients_.end(),
        [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
    clients_.erase(quietest);
}

}  // namespace kv830host
