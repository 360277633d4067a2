// One value signal of the history as a series of (time, value), decoded through the
// plug-in and thinned to a number of points for a chart: the range is cut into buckets
// and each keeps its lowest and its highest value, so that a spike survives thinning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "history_decoder.h"
#include "history_store.h"

namespace kv830host {

// Most points a series may ask for.
constexpr std::size_t kMaxSeriesPoints = 10000;

struct SeriesQuery {
    unsigned data_id = 1;
    std::string signal;  // a numeric member of the device's document
    std::int64_t from_ms = 0;
    std::int64_t to_ms = 0;  // inclusive
    std::size_t points = 1000;
};

struct SeriesPoint {
    std::int64_t unix_ms = 0;
    double value = 0.0;
};

enum class SeriesRefusal {
    None,
    UnknownSignal,  // no such member, or not a number (a state text)
    BadRange,       // from after to
    BadPoints,      // 0 or more than kMaxSeriesPoints
    Unreadable,     // the history could not be read
};

struct SeriesResult {
    std::vector<SeriesPoint> points;  // in time order, at most query.points
    unsigned long long rounds = 0;    // rounds in the range before thinning
    SeriesRefusal refusal = SeriesRefusal::None;
    std::string error;  // the refusal's reason, for the answer to the client
};

// `store` may be a read-only connection of its own; `decoder` has its plug-in loaded.
// Returns false with result.refusal and result.error set when the query is refused.
bool read_series(HistoryStore& store, HistoryDecoder& decoder, const SeriesQuery& query,
                 SeriesResult& result);

// The thinning alone, over points in time order: at most `points` of them, the lowest
// and highest of each bucket of the range, in time order.
std::vector<SeriesPoint> thin_series(const std::vector<SeriesPoint>& all, std::int64_t from_ms,
                                     std::int64_t to_ms, std::size_t points);

}  // namespace kv830host
