// /api/history: the trend of one numeric signal of one device over a span of time, read
// from the history on the side thread (a month's trend may take a second).
#include "http_core.h"
#include "kv830_signals.h"
#include "option_table.h"
#include "time_text.h"

namespace kv830host {

namespace {

const kv830::SignalRow* find_signal(const std::string& name) {
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        if (name == kv830::kSignals[i].key) {
            return &kv830::kSignals[i];
        }
    }
    return nullptr;
}

std::vector<std::string> signal_names() {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        names.emplace_back(kv830::kSignals[i].key);
    }
    return names;
}

// The signal the query names; false with the refusal in `why` when it names none we can trend.
bool read_signal(const Exchange& ex, std::string& signal, std::string& why) {
    if (!ex.has_param("signal")) {
        why = "signal= is missing";
        return false;
    }
    signal = ex.param("signal");
    const kv830::SignalRow* row = find_signal(signal);
    if (row == nullptr) {
        const std::string near = kv830cli::nearest_name(signal, signal_names());
        why = "unknown signal '" + signal + "'" +
              (near.empty() ? "" : "; did you mean '" + near + "'?");
        return false;
    }
    if (row->kind == kv830::SignalKind::Enum) {
        why = "signal '" + signal + "' is an enumeration, not a number";
        return false;
    }
    return true;
}

// The time a query parameter names, or `absent_ms` when the query leaves it out.
bool read_time(const Exchange& ex, const char* name, std::int64_t absent_ms, std::int64_t& out_ms,
               std::string& why) {
    if (!ex.has_param(name)) {
        out_ms = absent_ms;
        return true;
    }
    std::string error;
    if (parse_time(ex.param(name), wall_clock_ms(), out_ms, error)) {
        return true;
    }
    why = std::string(name) + "=" + error;
    return false;
}

bool read_span(const ServerCore& core, const Exchange& ex, TrendRequest& q, std::string& why) {
    if (!read_time(ex, "to", wall_clock_ms(), q.to_ms, why) ||
        !read_time(ex, "from", q.to_ms - std::int64_t{3600} * 1000, q.from_ms, why)) {
        return false;
    }
    if (q.from_ms >= q.to_ms) {
        why = "from is not before to";
        return false;
    }
    q.points = core.limits.default_history_points;
    if (ex.has_param("points") &&
        (!parse_unsigned(ex.param("points"), core.limits.max_history_points, q.points) ||
         q.points == 0)) {
        why = "points must be a number from 1 to " + std::to_string(core.limits.max_history_points);
        return false;
    }
    return true;
}

// The device the query names, else the first; the refusal's status in `status`.
bool read_device(const ServerCore& core, const Exchange& ex, unsigned& data_id, unsigned& status,
                 std::string& why) {
    DeviceView d;
    if (!ex.has_param("data_id")) {
        const std::vector<DeviceView> devices = core.state.devices();
        if (devices.empty()) {
            status = 503;
            why = "no device has reported yet; give data_id=";
            return false;
        }
        data_id = devices.front().data_id;
        return true;
    }
    status = 400;
    if (!parse_unsigned(ex.param("data_id"), 0xFFFFFFFFU, data_id)) {
        why = "data_id must be a decimal number";
        return false;
    }
    if (!core.state.device(data_id, d)) {
        status = 404;
        why = "no device with data id " + ex.param("data_id");
        return false;
    }
    return true;
}

std::string trend_json(const TrendRequest& q, const TrendAnswer& answer) {
    std::string out = "{\"data_id\":" + std::to_string(q.data_id) +
                      ",\"signal\":" + json_string(q.signal) +
                      ",\"from_ms\":" + std::to_string(q.from_ms) +
                      ",\"to_ms\":" + std::to_string(q.to_ms) + ",\"points\":[";
    out.reserve(out.size() + answer.points.size() * 40);
    bool first = true;
    for (const TrendPoint& p : answer.points) {
        out += first ? "[" : ",[";
        first = false;
        out += std::to_string(p.t_ms);
        out += ',';
        out += json_number(p.min);
        out += ',';
        out += json_number(p.max);
        out += ']';
    }
    return out + "]}\n";
}

}  // namespace

void serve_history(ServerCore& core, const ExchangePtr& ex) {
    TrendRequest q;
    std::string why;
    unsigned status = 400;
    if (!read_signal(*ex, q.signal, why) || !read_span(core, *ex, q, why) ||
        !read_device(core, *ex, q.data_id, status, why)) {
        ex->answer(refusal(status, why));
        return;
    }
    if (core.trends == nullptr) {
        ex->answer(refusal(503, "no history is kept by this program"));
        return;
    }
    ex->run_aside([&core, ex, q] {
        const TrendAnswer answer = core.trends->trend(q);
        if (!answer.ok) {
            ex->answer(refusal(
                400, answer.refusal.empty() ? "history refused the query" : answer.refusal));
            return;
        }
        ex->answer(json_reply(200, trend_json(q, answer)));
    });
}

}  // namespace kv830host
