// The embedded HTTP server: /metrics, /healthz, /api/snapshot, /api/status, /api/events,
// /api/history, /api/write and the page's assets. It reads the plant only through
// PlantState copies and hands writes on through a WriteSubmitter, so nothing it does can
// make a polling cycle wait.
//
// Threads: a fixed pool of workers serves connections. An event stream holds its worker
// for as long as the page stays open, so streams are capped (HttpLimits::event_streams)
// and the pool is that cap plus HttpLimits::spare_workers: twenty open pages leave
// workers free for scrapes. Read and write timeouts bound how long a slow or silent
// client can hold a worker.
//
// In a program (a sketch; names of the program's own parts are illustrative):
//   HttpSettings http;                       // table rows: http_options(http)
//   check_http_settings(http, error);        // once, after parsing
//   PlantState plant(interval_s);            // the polling loop calls plant.on_cycle(report)
//   HttpServer server(plant);
//   server.set_assets(table, count);         // the page's generated table
//   server.set_trends(&history);             // the history's TrendSource
//   server.set_metrics_source(collect);      // the other outputs' families
//   if (http.writes) server.enable_writes(http.token, policy);
//   server.start(http.address, http.port, error);
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "metrics.h"
#include "plant_state.h"
#include "remote_write.h"
#include "trend.h"

namespace kv830host {

// One built-in file of the page, gzip-compressed at build time by the page's generator.
struct HttpAsset {
    const char* path;          // "/index.html", "/app.js", ...; "/" serves "/index.html"
    const char* content_type;  // "text/html; charset=utf-8", ...
    const unsigned char* gzip;
    std::size_t gzip_size;
};

struct HttpLimits {
    unsigned event_streams = 32;  // open /api/events at once; more get 503
    unsigned spare_workers = 32;  // workers beyond the streams, for everything else
    int read_timeout_s = 5;       // a client silent this long is dropped
    int write_timeout_s = 5;      // a client not reading this long is dropped
    // A connection waiting for its next request (or its first) holds a worker this long;
    // short, so that the idle connections of many open pages do not fill the pool.
    int keep_alive_s = 2;
    std::size_t max_body_bytes = std::size_t{64} * 1024;    // 413 beyond
    std::size_t max_header_bytes = std::size_t{16} * 1024;  // 431 beyond, all header lines together
    std::size_t max_headers = 100;                          // 431 beyond
    unsigned max_history_points = 10000;                    // /api/history points=; 400 beyond
    unsigned default_history_points = 600;
    int write_wait_s = 10;       // /api/write waits this long for the outcome
    int event_heartbeat_s = 15;  // a comment line keeps idle streams alive
};

class HttpServer {
  public:
    explicit HttpServer(PlantState& state, const HttpLimits& limits = HttpLimits());
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Set before start(). The table must outlive the server (the generated one is static).
    void set_assets(const HttpAsset* table, std::size_t count);
    // Where /api/history finds its trends (the history's); without it the route answers 503.
    void set_trends(TrendSource* trends);
    // Families of other outputs, added to /metrics at every scrape.
    void set_metrics_source(MetricsSource source);
    // Opens POST /api/write to requests bearing this token, each handed to the program's
    // rule for remote writes; without this call every write is refused with 403.
    void enable_writes(const std::string& token, RemoteWrites& writes);

    // Binds and serves on its own threads; port 0 takes a free port (see port()).
    bool start(const std::string& address, int port, std::string& error);
    int port() const;
    // Ends open event streams, stops listening and joins the workers.
    void stop();

    // Open event streams now, for tests and /metrics.
    unsigned event_streams() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Times as /api/history takes them: unix seconds ("1765180800", "1765180800.5") or
// ISO 8601 with a zone ("2026-12-08T07:00:00Z", "...+08:00", fraction allowed).
bool parse_time_ms(const std::string& text, std::int64_t& out_ms);

}  // namespace kv830host
