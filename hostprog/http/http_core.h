// What the routes share: the plant, the limits, the page, the services other parts of the
// program offer (trends, writes), and the server's own counters. Everything here is read
// on the server's thread, and on its side thread where a route says so.
#pragma once

#include <atomic>
#include <string>

#include "alarm_board.h"
#include "auth_throttle.h"
#include "http_exchange.h"
#include "http_server.h"
#include "metrics.h"
#include "metrics_text.h"
#include "page_assets.h"
#include "plant_state.h"
#include "remote_write.h"
#include "signal_metrics.h"
#include "trend.h"

namespace kv830host {

struct ServerCore {
    ServerCore(PlantState& s, const HttpLimits& l) : state(s), limits(l), throttle(l.auth) {}

    PlantState& state;
    const HttpLimits limits;
    PageAssets assets;
    TrendSource* trends = nullptr;   // null without a history
    MetricsSource metrics_source;    // the other outputs' families
    SignalModels models;             // each device's signal model, for values in units
    RemoteWrites* writes = nullptr;  // null while writes are off
    AlarmBoard* alarms = nullptr;
    std::string token;
    AuthThrottle throttle;  // the server's thread only

    std::atomic<unsigned> streams{0};  // open /api/events
    std::atomic<unsigned> connections{0};
    std::atomic<unsigned long long> connections_refused{0};
    std::atomic<unsigned long long> request_timeouts{0};

    bool writes_enabled() const { return writes != nullptr && !token.empty(); }
    // The server's own families of /metrics; each written once however often it is called.
    void describe_metrics(MetricsText& out) const;
};

// Answers the request: the route of its path, 404 for an unknown path and 405 (with Allow)
// for a method the path does not take.
void route_request(ServerCore& core, const ExchangePtr& ex);

// The routes, one file per group.
void serve_metrics(ServerCore& core, const ExchangePtr& ex);
void serve_healthz(ServerCore& core, const ExchangePtr& ex);
void serve_snapshot(ServerCore& core, const ExchangePtr& ex);
void serve_status(ServerCore& core, const ExchangePtr& ex);
void serve_events(ServerCore& core, const ExchangePtr& ex);
void serve_history(ServerCore& core, const ExchangePtr& ex);
void serve_write(ServerCore& core, const ExchangePtr& ex);
void serve_asset(ServerCore& core, const ExchangePtr& ex);
void serve_signals(ServerCore& core, const ExchangePtr& ex);
void serve_alarms(ServerCore& core, const ExchangePtr& ex);
void serve_alarm_ack(ServerCore& core, const ExchangePtr& ex);
// The token and --http-writes of every route that acts: answers the refusal itself.
bool authorize_write(ServerCore& core, const ExchangePtr& ex);

// A decimal from 0 to `max` ("7", not "+7", "07 " or "7x").
bool parse_unsigned(const std::string& text, unsigned max, unsigned& out);

}  // namespace kv830host
