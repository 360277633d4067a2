// Trends against every round decoded by the plug-in itself, over a file that starts with
// rows of the previous version and goes on in blocks: on spans whose buckets fall on the
// summaries' edges the answer is the same to the bucket; elsewhere the extremes are.
#include "history_trends.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

#include "history_decoder.h"
#include "history_support.h"
#include "history_writer.h"
#include "kv830_data.h"
#include "kv830_signals.h"

namespace {

using historytest::RecordMaker;
using kv830host::TrendPoint;
using kv830host::TrendRequest;

constexpr std::int64_t kT0 = 1765180800000;  // 2025-12-08T08:00:00Z, on a bin's edge
constexpr std::int64_t kOldRounds = 600;     // ten minutes as the previous version wrote them
constexpr std::int64_t kHours = 6;
constexpr std::int64_t kEnd = kT0 + kHours * 3600000;

class HistoryTrend : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new historytest::TempDir();
        RecordMaker maker;
        {
            historytest::OldFile old(path(), false);
            for (std::int64_t c = 0; c < kOldRounds / 60; ++c) {
                std::vector<std::vector<unsigned char>> minute;
                minute.reserve(60);
                for (int i = 0; i < 60; ++i) {
                    minute.push_back(maker.next(kT0 + (c * 60 + i) * 1000));
                }
                old.commit(1, kT0 + c * 60000, 1000, minute);
            }
        }
        kv830host::HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(path(), error)) << error;
        std::vector<std::vector<unsigned char>> minute(60);
        std::vector<kv830host::RoundToSave> batch(60);
        for (std::int64_t t = kT0 + kOldRounds * 1000; t < kEnd; t += 60000) {
            for (std::size_t i = 0; i < 60; ++i) {
                const std::int64_t at = t + static_cast<std::int64_t>(i) * 1000;
                minute[i] = maker.next(at);
                batch[i] = {1, 5156, at, minute[i].data(), 576};
            }
            ASSERT_TRUE(store.append_batch(batch.data(), 60, t, error)) << error;
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string path() { return dir_->file("h.db"); }

    // Every round's value of the signal as the plug-in's document gives it.
    static std::map<std::int64_t, double> truth(const std::string& signal) {
        std::map<std::int64_t, double> values;
        kv830host::HistoryStore store;
        kv830host::HistoryDecoder decoder;
        std::string error;
        EXPECT_TRUE(store.open(path(), kv830host::HistoryStore::Access::ReadOnly, error));
        EXPECT_TRUE(decoder.load(KV830_SO, error)) << error;
        store.read_rounds(
            {},
            [&](const kv830host::StoredRound& round) {
                std::string why;
                const Json::Value* doc = decoder.decode(round.data_id, round.record, why);
                values[round.unix_ms] = (*doc)[signal].asDouble();
                return true;
            },
            error);
        return values;
    }

    static kv830host::TrendAnswer ask(const std::string& signal, std::int64_t from, std::int64_t to,
                                      unsigned points,
                                      const std::vector<kv830host::StoredRound>& waiting = {}) {
        kv830host::HistoryStore store;
        std::string error;
        EXPECT_TRUE(store.open(path(), kv830host::HistoryStore::Access::ReadOnly, error));
        return kv830host::read_trend(store, TrendRequest{1, signal, from, to, points}, waiting);
    }

    static historytest::TempDir* dir_;
};

historytest::TempDir* HistoryTrend::dir_ = nullptr;

struct Bucket {
    std::int64_t first = 0;
    std::int64_t last = 0;
    double low = 0.0;
    double high = 0.0;
};

// The buckets of every round, as the trend's definition says.
std::vector<TrendPoint> expected_points(const std::map<std::int64_t, double>& values,
                                        std::int64_t from, std::int64_t to, unsigned points) {
    std::map<std::uint64_t, Bucket> buckets;
    const auto span = static_cast<std::uint64_t>(to - from + 1);
    for (auto it = values.lower_bound(from); it != values.end() && it->first <= to; ++it) {
        const std::uint64_t i = static_cast<std::uint64_t>(it->first - from) * points / span;
        auto found = buckets.find(i);
        if (found == buckets.end()) {
            buckets[i] = {it->first, it->first, it->second, it->second};
            continue;
        }
        found->second.last = it->first;
        found->second.low = std::min(found->second.low, it->second);
        found->second.high = std::max(found->second.high, it->second);
    }
    std::vector<TrendPoint> out;
    out.reserve(buckets.size());
    for (const auto& b : buckets) {
        out.push_back(
            {b.second.first + (b.second.last - b.second.first) / 2, b.second.low, b.second.high});
    }
    return out;
}

// A value, the first bit and the first input of the table.
std::vector<std::string> signals_to_check() {
    std::vector<std::string> names = {"1#冷却塔风机频率反馈"};
    bool bit = false;
    bool input = false;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        if (!bit && row.kind == kv830::SignalKind::Bit) {
            names.emplace_back(row.key);
            bit = true;
        } else if (!input && row.kind == kv830::SignalKind::Input) {
            names.emplace_back(row.key);
            input = true;
        }
    }
    return names;
}

TEST_F(HistoryTrend, AnswersAsEveryRoundWould) {
    struct Span {
        const char* name;
        std::int64_t from, to;
        unsigned points;
        bool exact;
    } const spans[] = {
        {"bins: 10-minute buckets",          kT0,        kEnd - 1,       36,   true },
        {"blocks: 1-minute buckets",         kT0,        kEnd - 1,       360,  true },
        {"rounds: an hour over old and new", kT0,        kT0 + 3600000,  1000, true },
        {"edges inside summaries",           kT0 + 7001, kEnd - 13001,   97,   false},
        {"after the end",                    kEnd,       kEnd + 3600000, 100,  true },
    };
    for (const std::string& signal : signals_to_check()) {
        const auto values = truth(signal);
        ASSERT_EQ(values.size(), static_cast<std::size_t>(kHours * 3600));
        for (const Span& span : spans) {
            SCOPED_TRACE(signal + ": " + span.name);
            const kv830host::TrendAnswer answer = ask(signal, span.from, span.to, span.points);
            ASSERT_TRUE(answer.ok) << answer.refusal;
            const auto expected = expected_points(values, span.from, span.to, span.points);
            if (span.exact) {
                ASSERT_EQ(answer.points.size(), expected.size());
                for (std::size_t i = 0; i < expected.size(); ++i) {
                    EXPECT_EQ(answer.points[i].t_ms, expected[i].t_ms) << i;
                    EXPECT_EQ(answer.points[i].min, expected[i].min) << i;
                    EXPECT_EQ(answer.points[i].max, expected[i].max) << i;
                }
                continue;
            }
            ASSERT_FALSE(answer.points.empty());
            double low = answer.points[0].min;
            double high = answer.points[0].max;
            for (const TrendPoint& p : answer.points) {
                EXPECT_GE(p.t_ms, span.from);
                EXPECT_LE(p.t_ms, span.to);
                low = std::min(low, p.min);
                high = std::max(high, p.max);
            }
            double true_low = expected[0].min;
            double true_high = expected[0].max;
            for (const TrendPoint& p : expected) {
                true_low = std::min(true_low, p.min);
                true_high = std::max(true_high, p.max);
            }
            EXPECT_EQ(low, true_low);
            EXPECT_EQ(high, true_high);
        }
    }
}

// Rounds waiting for their commit end the trend; one also in the file counts once.
TEST_F(HistoryTrend, RoundsWaitingForTheirCommitFollowTheStoredOnes) {
    const std::string signal = "1#冷却塔风机频率反馈";
    RecordMaker maker(7);
    std::vector<kv830host::StoredRound> waiting;
    for (std::int64_t t = kEnd - 30000; t < kEnd + 60000; t += 1000) {
        waiting.push_back({0, t, 1, 5156, maker.next(t)});
    }
    const auto stored = ask(signal, kEnd - 120000, kEnd + 59999, 180);
    const auto answer = ask(signal, kEnd - 120000, kEnd + 59999, 180, waiting);
    ASSERT_TRUE(answer.ok) << answer.refusal;
    ASSERT_EQ(stored.points.size(), 120U);
    ASSERT_EQ(answer.points.size(), 180U);
    for (std::size_t i = 0; i < stored.points.size(); ++i) {
        EXPECT_EQ(answer.points[i].min, stored.points[i].min) << i;
    }
    EXPECT_EQ(answer.points.back().t_ms, kEnd + 59000);
}

TEST_F(HistoryTrend, RefusalsSayWhy) {
    struct Row {
        const char* name;
        std::string signal;
        std::int64_t from, to;
        unsigned points;
        const char* says;
    } const rows[] = {
        {"unknown",       "1#冷却塔风机频率反溃", kT0,       kEnd, 10,    "did you mean"},
        {"enumeration",   "",                              kT0,       kEnd, 10,    "enumeration" },
        {"reversed",      "1#冷却塔风机频率反馈", kEnd,      kT0,  10,    "not before"  },
        {"no points",     "1#冷却塔风机频率反馈", kT0,       kEnd, 0,     "points"      },
        {"many points",   "1#冷却塔风机频率反馈", kT0,       kEnd, 20000, "points"      },
        {"two centuries", "1#冷却塔风机频率反馈", -kEnd * 2, kEnd, 10,    "century"     },
    };
    std::string enumeration;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        if (kv830::kSignals[i].kind == kv830::SignalKind::Enum) {
            enumeration = kv830::kSignals[i].key;
        }
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto answer =
            ask(row.signal.empty() ? enumeration : row.signal, row.from, row.to, row.points);
        EXPECT_FALSE(answer.ok);
        EXPECT_NE(answer.refusal.find(row.says), std::string::npos) << answer.refusal;
    }
}

// Several server threads ask at once while the writer commits; what it holds is in every
// answer, before its commit and after.
TEST(HistoryWriter, TrendsFromSeveralThreadsSeeWhatWaits) {
    historytest::TempDir dir;
    kv830host::HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(dir.file("h.db"), error)) << error;
    kv830host::HistoryWriterOptions options;
    options.commit_ms = 50;
    kv830host::HistoryWriter writer(store, options);
    kv830host::HistoryTrends trends(dir.file("h.db"), &writer);
    const TrendRequest request{1, "1#冷却塔风机频率反馈", kT0, kT0 + 9999, 10};
    RecordMaker maker;
    for (std::int64_t t = kT0; t < kT0 + 10000; t += 1000) {
        const auto r = maker.next(t);
        writer.submit(1, 5156, t, r.data(), r.size());
    }
    // Not started yet: all of it waits.
    const auto first = trends.trend(request);
    ASSERT_TRUE(first.ok) << first.refusal;
    EXPECT_EQ(first.points.size(), 10U);
    writer.start();
    std::vector<std::size_t> fewest(4, 10);
    std::vector<std::thread> threads;
    threads.reserve(fewest.size());
    for (std::size_t& mine : fewest) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                mine = std::min(mine, trends.trend(request).points.size());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    writer.stop();
    EXPECT_EQ(writer.status().saved, 10U);
    for (const std::size_t n : fewest) {
        EXPECT_EQ(n, 10U);
    }
}

}  // namespace
