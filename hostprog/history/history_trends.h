// The page's trends from the history: one signal over a span, in buckets of min and max.
//
// A signal's value is read straight from the record by the signal table (register, bit or
// input; raw counts, as the record holds them), not through the plug-in. Where a
// summary's rounds all lie in the span and within a bucket's width, the summary stands for
// them: a five-minute bin for a week or a month, a block (a commit's rounds) for a day;
// the rest, a short span or the ends of a long one, is read round by round. A summary
// counts in the bucket of its middle, so a bucket's edge may be off by half a summary,
// less than half a bucket; the lowest and highest values themselves are exact. Rounds
// still waiting for their commit follow the stored ones, so that a trend ends at the last
// completed round.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "history_store.h"
#include "trend.h"

namespace kv830host {

class HistoryWriter;

// Most buckets a trend may ask for, and its longest span.
constexpr unsigned kMaxTrendPoints = 10000;
constexpr std::int64_t kMaxTrendSpanMs = 100LL * 366 * 24 * 3600 * 1000;

// One query on a store of its own: the rounds in `waiting` (of the request's device, in
// time order) follow the stored ones.
TrendAnswer read_trend(HistoryStore& store, const TrendRequest& request,
                       const std::vector<StoredRound>& waiting);

class HistoryTrends : public TrendSource {
  public:
    // `path`: the history file, read through connections of the trends' own, opened
    // read-only at the first query; `writer`: the rounds waiting for their commit (null:
    // none), which must outlive this.
    HistoryTrends(std::string path, const HistoryWriter* writer);
    ~HistoryTrends() override;
    HistoryTrends(const HistoryTrends&) = delete;
    HistoryTrends& operator=(const HistoryTrends&) = delete;

    // Safe from several threads at once: each query takes a connection of its own.
    TrendAnswer trend(const TrendRequest& request) override;

  private:
    std::unique_ptr<HistoryStore> take_store(std::string& error);
    void give_back(std::unique_ptr<HistoryStore> store);

    const std::string path_;
    const HistoryWriter* const writer_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<HistoryStore>> idle_;
};

}  // namespace kv830host
