#include "history_series.h"

#include "option_table.h"

namespace kv830host {

namespace {

bool refuse(SeriesResult& result, SeriesRefusal refusal, const std::string& error) {
    result.points.clear();
    result.refusal = refusal;
    result.error = error;
    return false;
}

}  // namespace

std::vector<SeriesPoint> thin_series(const std::vector<SeriesPoint>& all, std::int64_t from_ms,
                                     std::int64_t to_ms, std::size_t points) {
    if (all.size() <= points || points < 2) {
        return points < 2 && !all.empty() ? std::vector<SeriesPoint>{all.front()} : all;
    }
    const std::size_t buckets = points / 2;
    const double span = static_cast<double>(to_ms - from_ms) + 1.0;
    struct Bucket {
        bool used = false;
        SeriesPoint low;
        SeriesPoint high;
    };
    std::vector<Bucket> b(buckets);
    for (const SeriesPoint& p : all) {
        auto i = static_cast<std::size_t>(static_cast<double>(p.unix_ms - from_ms) / span *
                                          static_cast<double>(buckets));
        i = std::min(i, buckets - 1);
        Bucket& k = b[i];
        if (!k.used) {
            k.used = true;
            k.low = p;
            k.high = p;
            continue;
        }
        if (p.value < k.low.value) {
            k.low = p;
        }
        if (p.value > k.high.value) {
            k.high = p;
        }
    }
    std::vector<SeriesPoint> out;
    out.reserve(points);
    for (const Bucket& k : b) {
        if (!k.used) {
            continue;
        }
        const bool low_first = k.low.unix_ms <= k.high.unix_ms;
        out.push_back(low_first ? k.low : k.high);
        if (k.low.unix_ms != k.high.unix_ms || k.low.value != k.high.value) {
            out.push_back(low_first ? k.high : k.low);
        }
    }
    return out;
}

bool read_series(HistoryStore& store, HistoryDecoder& decoder, const SeriesQuery& query,
                 SeriesResult& result) {
    result = SeriesResult{};
    if (query.from_ms > query.to_ms) {
        return refuse(result, SeriesRefusal::BadRange, "the start of the range is after its end");
    }
    if (query.points == 0 || query.points > kMaxSeriesPoints) {
        return refuse(result, SeriesRefusal::BadPoints,
                      "points must be 1 to " + std::to_string(kMaxSeriesPoints));
    }
    std::string error;
    // The name is checked against the device's newest document, so that an unknown name
    // is refused even for a range without rounds.
    StoredRound newest;
    if (!store.newest_round(query.data_id, kDeviceRecordType, 0, newest, error)) {
        if (!error.empty()) {
            return refuse(result, SeriesRefusal::Unreadable, error);
        }
        return true;  // nothing stored for this device: an empty series
    }
    const Json::Value* sample = decoder.decode(newest.data_id, newest.record, error);
    if (sample == nullptr) {
        return refuse(result, SeriesRefusal::Unreadable, error);
    }
    const Json::Value* member =
        query.signal == kDocumentTimeKey
            ? nullptr
            : sample->find(query.signal.data(), query.signal.data() + query.signal.size());
    if (member == nullptr) {
        std::vector<std::string> known = sample->getMemberNames();
        const std::string hint = kv830cli::did_you_mean(query.signal, known);
        return refuse(result, SeriesRefusal::UnknownSignal,
                      "unknown signal \"" + query.signal + "\"" + hint);
    }
    if (!member->isNumeric()) {
        return refuse(result, SeriesRefusal::UnknownSignal,
                      "signal '" + query.signal + "' is a state text, not a value");
    }
    std::vector<SeriesPoint> all;
    RoundQuery rounds;
    rounds.any_data_id = false;
    rounds.data_id = query.data_id;
    rounds.from_ms = query.from_ms;
    rounds.to_ms = query.to_ms;
    const bool ok = store.read_rounds(
        rounds,
        [&](const StoredRound& round) {
            if (round.record_type != kDeviceRecordType) {
                return true;
            }
            std::string why;
            const Json::Value* document = decoder.decode(round.data_id, round.record, why);
            if (document == nullptr) {
                return true;
            }
            const Json::Value* v =
                document->find(query.signal.data(), query.signal.data() + query.signal.size());
            if (v != nullptr && v->isNumeric()) {
                all.push_back(SeriesPoint{round.unix_ms, v->asDouble()});
            }
            return true;
        },
        error);
    if (!ok) {
        return refuse(result, SeriesRefusal::Unreadable, error);
    }
    result.rounds = all.size();
    result.points = thin_series(all, query.from_ms, query.to_ms, query.points);
    return true;
}

}  // namespace kv830host
