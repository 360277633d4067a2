#include "history_trends.h"

#include <algorithm>
#include <limits>

#include "history_summary.h"
#include "history_writer.h"
#include "kv830_data.h"
#include "kv830_signals.h"
#include "option_table.h"

namespace kv830host {

namespace {

// Connections kept open between queries; more queries at once open more for a while.
constexpr std::size_t kIdleStores = 4;

// Where a numeric signal's value lies in the record.
struct SignalSource {
    kv830::SignalKind kind = kv830::SignalKind::Value;
    std::size_t offset = 0;  // of its register or input
    unsigned bit = 0;
    int slot = -1;  // its register's or input's summary slot
};

bool find_signal(const std::string& name, SignalSource& out, std::string& refusal) {
    const kv830::SignalRow* found = nullptr;
    std::vector<std::string> names;
    // The later of two rows with one name is the one the document shows.
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        names.emplace_back(kv830::kSignals[i].key);
        if (name == kv830::kSignals[i].key) {
            found = &kv830::kSignals[i];
        }
    }
    if (found == nullptr) {
        refusal = "unknown signal \"" + name + "\"" + kv830cli::did_you_mean(name, names);
        return false;
    }
    if (found->kind == kv830::SignalKind::Enum) {
        refusal = "signal \"" + name + "\" is an enumeration, not a number";
        return false;
    }
    out.kind = found->kind;
    out.offset = found->kind == kv830::SignalKind::Input ? kv830::input_offset(found->source)
                                                         : kv830::register_offset(found->source);
    out.bit = found->bit;
    out.slot = summary_slot_at(out.offset);
    return true;
}

// The signal's value given the 16-bit word of the record that holds it (at offset & ~1).
double value_of_word(const SignalSource& s, std::uint16_t word) {
    switch (s.kind) {
        case kv830::SignalKind::Bit:
            return static_cast<double>((static_cast<unsigned>(word) >> s.bit) & 1U);
        case kv830::SignalKind::Input:
            return static_cast<double>((static_cast<unsigned>(word) >> (8U * (s.offset & 1U))) &
                                       0xFFU);
        case kv830::SignalKind::Value:
        case kv830::SignalKind::Enum:
            break;
    }
    return static_cast<double>(word);
}

double value_of_record(const SignalSource& s, const unsigned char* record) {
    const std::size_t at = s.offset & ~std::size_t{1};
    return value_of_word(s, static_cast<std::uint16_t>(record[at] | record[at + 1] << 8));
}

// The lowest and highest value a summary gives the signal; false when it cannot tell (a
// bit of a register that moved).
bool range_of(const SignalSource& s, const Summary& summary, double& low, double& high) {
    if (s.slot < 0 || static_cast<std::size_t>(s.slot) >= summary.low.size()) {
        return false;
    }
    const std::uint16_t lo = summary.low[static_cast<std::size_t>(s.slot)];
    const std::uint16_t hi = summary.high[static_cast<std::size_t>(s.slot)];
    if (s.kind == kv830::SignalKind::Bit) {
        if (lo != hi) {
            return false;
        }
        low = high = value_of_word(s, lo);
        return true;
    }
    low = lo;
    high = hi;
    return true;
}

// The span cut into buckets of equal width; each keeps its lowest and highest value and
// the times of its first and last round.
class Buckets {
  public:
    Buckets(std::int64_t from, std::int64_t to, unsigned count)
        : from_(from),
          span_(static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from) + 1),
          slots_(count) {}

    std::int64_t width() const { return static_cast<std::int64_t>(span_ / slots_.size()); }

    void add(std::int64_t first, std::int64_t last, double low, double high) {
        const std::int64_t middle = first + (last - first) / 2;
        Slot& s = slots_[static_cast<std::size_t>(static_cast<std::uint64_t>(middle - from_) *
                                                  slots_.size() / span_)];
        if (!s.used) {
            s = Slot{true, first, last, low, high};
            return;
        }
        s.first = std::min(s.first, first);
        s.last = std::max(s.last, last);
        s.low = std::min(s.low, low);
        s.high = std::max(s.high, high);
    }

    std::vector<TrendPoint> points() const {
        std::vector<TrendPoint> out;
        for (const Slot& s : slots_) {
            if (s.used) {
                out.push_back({s.first + (s.last - s.first) / 2, s.low, s.high});
            }
        }
        return out;
    }

  private:
    struct Slot {
        bool used = false;
        std::int64_t first = 0;
        std::int64_t last = 0;
        double low = 0.0;
        double high = 0.0;
    };
    std::int64_t from_;
    std::uint64_t span_;
    std::vector<Slot> slots_;
};

// One query's walk over the file: bins where they fit, then blocks, then rounds.
class TrendWalk {
  public:
    TrendWalk(HistoryStore& store, const TrendRequest& request, const SignalSource& signal)
        : store_(store),
          request_(request),
          signal_(signal),
          buckets_(request.from_ms, request.to_ms, request.points) {}

    bool run(std::string& error);
    void add_waiting(const std::vector<StoredRound>& waiting);
    std::vector<TrendPoint> points() const { return buckets_.points(); }

  private:
    bool ours(const SummaryRow& row) const {
        return row.data_id == request_.data_id && row.record_type == kv830::kRecordType;
    }
    // Whether the summary's rounds lie in the span and in one bucket's width.
    bool fits(const SummaryRow& row) const {
        return row.time_from >= request_.from_ms && row.time_to <= request_.to_ms &&
               row.time_to - row.time_from <= buckets_.width();
    }
    bool take_summary(const SummaryRow& row);
    void add_round(std::int64_t t, double value);
    bool walk_bins(long long start, std::string& error);
    bool walk_blocks(long long start, std::string& error);
    bool read_block(long long id, std::string& error);
    bool read_rows(long long from_id, long long end_id, std::string& error);

    HistoryStore& store_;
    const TrendRequest& request_;
    const SignalSource& signal_;
    Buckets buckets_;
    Compressor compressor_;
    Summary summary_;
    BlockView block_;
    std::vector<std::uint16_t> words_;
    std::vector<std::pair<long long, long long>> covered_;  // block ids the bins stood for
    std::int64_t last_seen_ = std::numeric_limits<std::int64_t>::min();
};

bool TrendWalk::take_summary(const SummaryRow& row) {
    double low = 0.0;
    double high = 0.0;
    if (!fits(row) || !decode_summary(row.blob, row.size, compressor_, summary_) ||
        !range_of(signal_, summary_, low, high)) {
        return false;
    }
    buckets_.add(row.time_from, row.time_to, low, high);
    last_seen_ = std::max(last_seen_, row.time_to);
    return true;
}

void TrendWalk::add_round(std::int64_t t, double value) {
    if (t >= request_.from_ms && t <= request_.to_ms) {
        buckets_.add(t, t, value, value);
        last_seen_ = std::max(last_seen_, t);
    }
}

bool TrendWalk::run(std::string& error) {
    HistoryStore::ReadSnapshot snapshot(store_);
    // A block that holds the span's first round began at most a block's span earlier.
    const std::int64_t earliest =
        request_.from_ms < std::numeric_limits<std::int64_t>::min() + kMaxBlockSpanMs
            ? std::numeric_limits<std::int64_t>::min()
            : request_.from_ms - kMaxBlockSpanMs;
    long long start = 0;
    return store_.first_id_at_or_after(earliest, start, error) && walk_bins(start, error) &&
           walk_blocks(start, error);
}

bool TrendWalk::walk_bins(long long start, std::string& error) {
    // A bin spans five minutes of block starts: narrower buckets cannot use one.
    if (buckets_.width() < kSummaryBinMs) {
        return true;
    }
    return store_.read_summaries(
        SummaryLevel::Bin, start,
        [&](const SummaryRow& row) {
            if (row.time_from > request_.to_ms) {
                return kWalkStop;
            }
            // A bin whose first blocks lie before `start` reaches before the span anyway.
            if (ours(row) && row.first_id >= start && take_summary(row)) {
                covered_.emplace_back(row.first_id, row.id);
            }
            return kWalkOn;
        },
        error);
}

// Every block from `start` in id order, with the rows between them that have no summary
// (rows of older files) read round by round; the blocks a bin stood for are passed over.
bool TrendWalk::walk_blocks(long long start, std::string& error) {
    long long next_id = start;  // the first row not seen yet
    std::size_t cover = 0;
    bool ended = false;
    bool ok = store_.read_summaries(
        SummaryLevel::Block, start,
        [&](const SummaryRow& row) {
            if (row.id > next_id && !read_rows(next_id, row.id, error)) {
                return kWalkStop;
            }
            next_id = row.id + 1;
            if (row.time_from > request_.to_ms) {
                ended = true;
                return kWalkStop;
            }
            while (cover < covered_.size() && covered_[cover].second < row.id) {
                ++cover;
            }
            if (cover < covered_.size() && row.id >= covered_[cover].first) {
                next_id = covered_[cover].second + 1;
                return next_id;
            }
            if (ours(row) && row.time_to >= request_.from_ms && !take_summary(row) &&
                !read_block(row.id, error)) {
                return kWalkStop;
            }
            return kWalkOn;
        },
        error);
    return ok && error.empty() &&
           (ended || read_rows(next_id, std::numeric_limits<long long>::max(), error));
}

// A block whose summary does not do, round by round; one that does not decode is left out.
bool TrendWalk::read_block(long long id, std::string& error) {
    if (!store_.read_block(id, block_, error)) {
        return error.empty();
    }
    if (block_.record_size() != kv830::kRecordSize) {
        return true;
    }
    block_.words(signal_.offset / 2, words_);
    for (std::size_t i = 0; i < block_.rounds(); ++i) {
        add_round(block_.time(i), value_of_word(signal_, words_[i]));
    }
    return true;
}

bool TrendWalk::read_rows(long long from_id, long long end_id, std::string& error) {
    RoundQuery query;
    query.any_data_id = false;
    query.data_id = request_.data_id;
    query.from_ms = request_.from_ms;
    query.to_ms = request_.to_ms;
    return store_.read_rows(
        from_id, end_id, query,
        [&](const StoredRound& round) {
            if (round.record_type == kv830::kRecordType &&
                round.record.size() == kv830::kRecordSize) {
                add_round(round.unix_ms, value_of_record(signal_, round.record.data()));
            }
            return true;
        },
        error);
}

// Rounds the file took since the writer's were copied are both here and there.
void TrendWalk::add_waiting(const std::vector<StoredRound>& waiting) {
    const std::int64_t stored = last_seen_;
    for (const StoredRound& round : waiting) {
        if (round.unix_ms > stored && round.record.size() == kv830::kRecordSize) {
            add_round(round.unix_ms, value_of_record(signal_, round.record.data()));
        }
    }
}

bool check_request(const TrendRequest& r, SignalSource& signal, std::string& refusal) {
    if (!find_signal(r.signal, signal, refusal)) {
        return false;
    }
    if (r.from_ms >= r.to_ms) {
        refusal = "from is not before to";
        return false;
    }
    if (static_cast<std::uint64_t>(r.to_ms) - static_cast<std::uint64_t>(r.from_ms) >
        static_cast<std::uint64_t>(kMaxTrendSpanMs)) {
        refusal = "the span is longer than a century";
        return false;
    }
    if (r.points == 0 || r.points > kMaxTrendPoints) {
        refusal = "points must be 1 to " + std::to_string(kMaxTrendPoints);
        return false;
    }
    return true;
}

TrendAnswer refused(const std::string& why) {
    TrendAnswer answer;
    answer.refusal = why;
    return answer;
}

}  // namespace

TrendAnswer read_trend(HistoryStore& store, const TrendRequest& request,
                       const std::vector<StoredRound>& waiting) {
    SignalSource signal;
    std::string why;
    if (!check_request(request, signal, why)) {
        return refused(why);
    }
    TrendWalk walk(store, request, signal);
    if (!walk.run(why)) {
        return refused("history: " + why);
    }
    walk.add_waiting(waiting);
    TrendAnswer answer;
    answer.ok = true;
    answer.points = walk.points();
    return answer;
}

HistoryTrends::HistoryTrends(std::string path, const HistoryWriter* writer)
    : path_(std::move(path)), writer_(writer) {}

HistoryTrends::~HistoryTrends() = default;

TrendAnswer HistoryTrends::trend(const TrendRequest& request) {
    // The waiting rounds first: one committed meanwhile is then in the file as well, and
    // read_trend keeps one of the two; the other order could miss it in both.
    std::vector<StoredRound> waiting;
    if (writer_ != nullptr) {
        writer_->waiting_rounds(request.data_id, kv830::kRecordType, request.from_ms, request.to_ms,
                                waiting);
    }
    std::string error;
    std::unique_ptr<HistoryStore> store = take_store(error);
    if (store == nullptr) {
        return refused("history: " + error);
    }
    TrendAnswer answer = read_trend(*store, request, waiting);
    give_back(std::move(store));
    return answer;
}

std::unique_ptr<HistoryStore> HistoryTrends::take_store(std::string& error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!idle_.empty()) {
            std::unique_ptr<HistoryStore> store = std::move(idle_.back());
            idle_.pop_back();
            return store;
        }
    }
    auto store = std::make_unique<HistoryStore>();
    if (!store->open(path_, HistoryStore::Access::ReadOnly, error)) {
        return nullptr;
    }
    return store;
}

void HistoryTrends::give_back(std::unique_ptr<HistoryStore> store) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < kIdleStores) {
        idle_.push_back(std::move(store));
    }
}

}  // namespace kv830host
