// Trends of one signal over a span of time, as the page asks for them: what an output that
// keeps rounds (the history) offers to outputs that show them (HTTP).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv830host {

// Each point keeps its bucket's minimum and maximum (equal when the bucket held one value).
struct TrendPoint {
    std::int64_t t_ms = 0;
    double min = 0.0;
    double max = 0.0;
};

struct TrendRequest {
    unsigned data_id = 0;
    std::string signal;  // a numeric signal's name, checked against the signal table
    std::int64_t from_ms = 0;
    std::int64_t to_ms = 0;  // from_ms < to_ms
    unsigned points = 0;     // at most this many buckets
};

struct TrendAnswer {
    bool ok = false;
    std::string refusal;  // why, when !ok
    std::vector<TrendPoint> points;
};

class TrendSource {
  public:
    virtual ~TrendSource() = default;
    // Called on a server thread, possibly several at once.
    virtual TrendAnswer trend(const TrendRequest& request) = 0;
};

}  // namespace kv830host
