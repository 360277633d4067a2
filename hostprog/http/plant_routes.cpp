// The routes that read the plant: /metrics, /healthz, /api/snapshot, /api/status and the
// event stream /api/events.
#include <algorithm>
#include <cstdio>

#include "event_stream.h"
#include "http_core.h"
#include "metrics.h"
#include "option_table.h"
#include "time_text.h"

namespace kv830host {

void ServerCore::describe_metrics(MetricsText& out) const {
    if (out.family("kv830_http_event_streams", "gauge", "Open /api/events streams.")) {
        out.sample("kv830_http_event_streams", {}, static_cast<unsigned long long>(streams.load()));
    }
    if (out.family("kv830_http_connections", "gauge", "Open HTTP connections.")) {
        out.sample("kv830_http_connections", {},
                   static_cast<unsigned long long>(connections.load()));
    }
    if (out.family("kv830_http_connections_refused_total", "counter",
                   "Connections refused because their client or the server had its fill.")) {
        out.sample("kv830_http_connections_refused_total", {}, connections_refused.load());
    }
    if (out.family("kv830_http_request_timeouts_total", "counter",
                   "Connections dropped because their request came too slowly.")) {
        out.sample("kv830_http_request_timeouts_total", {}, request_timeouts.load());
    }
    if (out.family("kv830_http_auth_failures_total", "counter",
                   "Writes refused for a wrong token.")) {
        out.sample("kv830_http_auth_failures_total", {}, throttle.failures_total());
    }
}

// On the side thread: another module's metric lines may take their time.
void serve_metrics(ServerCore& core, const ExchangePtr& ex) {
    ex->run_aside([&core, ex] {
        MetricsText out;
        write_plant_metrics(core.state, wall_clock_ms(), out, core.models);
        core.describe_metrics(out);
        if (core.metrics_source) {
            core.metrics_source(out);
        }
        Reply r;
        r.content_type = "text/plain; version=0.0.4; charset=utf-8";
        r.set("Cache-Control", "no-store");
        r.body = out.text();
        ex->answer(std::move(r));
    });
}

namespace {

// Why the plant is not healthy, or "" when every device completed a cycle within three
// intervals; `oldest_ms` is the oldest of those cycles' ages.
std::string health_problem(const ServerCore& core, const std::vector<DeviceView>& devices,
                           std::int64_t& oldest_ms) {
    if (devices.empty()) {
        return "no cycle has ended yet";
    }
    const std::int64_t now = wall_clock_ms();
    const auto limit_ms = static_cast<std::int64_t>(core.state.interval_s() * 3000.0);
    oldest_ms = 0;
    for (const DeviceView& d : devices) {
        if (d.last_completed_unix_ms == 0 || d.from_history) {
            return "data id " + std::to_string(d.data_id) + ": no cycle has completed yet";
        }
        const std::int64_t age = now - d.last_completed_unix_ms;
        if (age > limit_ms) {
            char text[160];
            (void)std::snprintf(text, sizeof text,
                                "data id %u: last cycle completed %.1f s ago, more than three "
                                "intervals (%.1f s)",
                                d.data_id, static_cast<double>(age) / 1000.0,
                                static_cast<double>(limit_ms) / 1000.0);
            return text;
        }
        oldest_ms = std::max(oldest_ms, age);
    }
    return {};
}

// The device the query names with data_id=, else the first; false with the refusal sent.
bool pick_device(ServerCore& core, const ExchangePtr& ex, DeviceView& out) {
    if (ex->has_param("data_id")) {
        unsigned id = 0;
        const std::string text = ex->param("data_id");
        if (!parse_unsigned(text, 0xFFFFFFFFU, id)) {
            ex->answer(refusal(400, "data_id must be a decimal number"));
            return false;
        }
        if (!core.state.device(id, out)) {
            ex->answer(refusal(404, "no device with data id " + text));
            return false;
        }
        return true;
    }
    const std::vector<DeviceView> devices = core.state.devices();
    if (devices.empty()) {
        ex->answer(refusal(503, "no cycle has ended yet"));
        return false;
    }
    out = devices.front();
    return true;
}

std::string bool_text(bool value) {
    return value ? "true" : "false";
}

std::string device_status(const DeviceView& d, std::int64_t now) {
    const bool has = d.last_completed_unix_ms != 0;
    const std::int64_t age = now - d.last_completed_unix_ms;
    return "{\"data_id\":" + std::to_string(d.data_id) + ",\"cycle\":" + std::to_string(d.cycle) +
           ",\"last_cycle_completed\":" + bool_text(d.last_cycle_completed) +
           ",\"last_duration_s\":" + json_number(d.last_duration_s) +
           ",\"last_completed_unix_ms\":" +
           (has ? std::to_string(d.last_completed_unix_ms) : "null") + ",\"last_completed\":" +
           (has ? json_string(format_time_utc(d.last_completed_unix_ms)) : "null") +
           ",\"age_s\":" + (has ? json_number(static_cast<double>(age) / 1000.0) : "null") +
           ",\"stale\":" + bool_text(!has || age > kStaleAfterMs) +
           ",\"from_history\":" + bool_text(d.from_history) +
           ",\"answered\":" + std::to_string(d.last[RoundCounter::Answered]) +
           ",\"failed\":" + std::to_string(d.last[RoundCounter::Failed]) +
           ",\"requests_answered\":" + std::to_string(d.total(RoundCounter::Answered)) +
           ",\"requests_failed\":" + std::to_string(d.total(RoundCounter::Failed)) +
           ",\"cycles_completed\":" + std::to_string(d.cycles_completed) +
           ",\"cycles_failed\":" + std::to_string(d.cycles_failed) +
           ",\"reopens\":" + std::to_string(d.reopens) + ",\"link_up\":" + bool_text(d.link_up) +
           "}";
}

}  // namespace

void serve_healthz(ServerCore& core, const ExchangePtr& ex) {
    const std::vector<DeviceView> devices = core.state.devices();
    std::int64_t oldest_ms = 0;
    const std::string problem = health_problem(core, devices, oldest_ms);
    if (!problem.empty()) {
        ex->answer(refusal(503, problem));
        return;
    }
    char text[96];
    (void)std::snprintf(text, sizeof text, "ok: %zu device(s), last cycle completed %.1f s ago",
                        devices.size(),
                        static_cast<double>(std::max<std::int64_t>(oldest_ms, 0)) / 1000.0);
    ex->answer(refusal(200, text));
}

void serve_snapshot(ServerCore& core, const ExchangePtr& ex) {
    DeviceView d;
    if (!pick_device(core, ex, d)) {
        return;
    }
    if (!d.snapshot) {
        ex->answer(
            refusal(503, "data id " + std::to_string(d.data_id) + ": no cycle has completed yet"));
        return;
    }
    const bool stale =
        d.last_completed_unix_ms == 0 || wall_clock_ms() - d.last_completed_unix_ms > kStaleAfterMs;
    Reply r = json_reply(200, *d.snapshot);
    r.set("X-Data-Id", std::to_string(d.data_id));
    r.set("X-Last-Completed-Ms", std::to_string(d.last_completed_unix_ms));
    r.set("X-Stale", stale ? "1" : "0");
    r.set("X-From-History", d.from_history ? "1" : "0");
    ex->answer(std::move(r));
}

void serve_status(ServerCore& core, const ExchangePtr& ex) {
    const std::int64_t now = wall_clock_ms();
    std::string out = "{\"now_unix_ms\":" + std::to_string(now) +
                      ",\"interval_s\":" + json_number(core.state.interval_s()) +
                      ",\"stale_after_s\":" + std::to_string(kStaleAfterMs / 1000) +
                      ",\"event_streams\":" + std::to_string(core.streams.load()) +
                      // The page offers its write forms only when a write could be taken.
                      ",\"writes_enabled\":" + bool_text(core.writes_enabled()) + ",\"devices\":[";
    bool first = true;
    for (const DeviceView& d : core.state.devices()) {
        out += first ? "" : ",";
        first = false;
        out += device_status(d, now);
    }
    ex->answer(json_reply(200, out + "]}\n"));
}

void serve_events(ServerCore& core, const ExchangePtr& ex) {
    EventStream::Choice choice;
    choice.filtered = ex->has_param("data_id");
    if (choice.filtered && !parse_unsigned(ex->param("data_id"), 0xFFFFFFFFU, choice.data_id)) {
        ex->answer(refusal(400, "data_id must be a decimal number"));
        return;
    }
    choice.with_snapshot = ex->param("snapshot") == "1";
    if (core.streams.load() >= core.limits.event_streams) {
        Reply r = refusal(503, "too many event streams open (" +
                                   std::to_string(core.limits.event_streams) +
                                   "); poll /api/status instead");
        r.set("Retry-After", "10");
        ex->answer(std::move(r));
        return;
    }
    choice.after_seq = core.state.last_seq();
    // A reconnecting browser names the last event it got; the ones kept since are sent.
    long long named = 0;
    if (ex->has_header("Last-Event-ID") &&
        kv830cli::parse_decimal(ex->header("Last-Event-ID"), 0,
                                static_cast<long long>(choice.after_seq), named)) {
        choice.after_seq = static_cast<std::uint64_t>(named);
    }
    ex->open_stream(std::make_shared<EventStream>(core.state, choice, core.streams));
}

}  // namespace kv830host
