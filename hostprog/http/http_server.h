// The embedded HTTP server: /metrics, /healthz, /api/snapshot, /api/status, /api/events,
// /api/history, /api/write and the page's assets. It reads the plant only through
// PlantState copies and hands writes to the program's one rule for remote writes, so
// nothing it does can make a polling cycle wait.
//
// Threads: one event loop serves every connection; a side thread runs what may take long
// or wait on another module (/metrics, which asks every output, and /api/history); a small
// watcher thread, started with the first event stream, wakes the loop when cycles arrive.
// Their stacks are small (server_threads.h). A slow or hostile client holds a socket and a
// few KiB, never a thread: every step of a request has a deadline, each client address a
// bound of connections, and the server a bound of them all, where a new connection takes
// the place of the oldest one still waiting for its request (docs/http.md).
//
// In a program (a sketch; names of the program's own parts are illustrative):
//   HttpSettings http;                       // table rows: http_options(http)
//   check_http_settings(http, error);        // once, after parsing
//   PlantState plant(interval_s);            // the polling loop calls plant.on_cycle(report)
//   HttpServer server(plant);
//   server.set_assets(table, count);         // the page's generated table
//   server.set_trends(&history);             // the history's TrendSource
//   server.set_metrics_source(collect);      // the other outputs' families
//   server.set_signal_models(models);        // each device's signal model
//   if (http.writes) server.enable_writes(http.token, write_policy);
//   server.start(http.address, http.port, error);
//   status << "serving " << http_url(http.address, server.port()) << "\n";
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "alarm_board.h"
#include "auth_throttle.h"
#include "metrics.h"
#include "metrics_text.h"
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
    // Connections at once: of one client (an IPv4 address, or an IPv6 /64), and in all.
    // One client over its bound gets 503 and the connection ends; at the bound of all, a
    // new connection takes the place of the oldest one still idle or reading its head.
    unsigned max_connections_per_client = 32;
    unsigned max_connections = 256;
    int idle_s = 5;           // a connection with no request under way is closed
    int request_head_s = 5;   // from a request's first byte to the end of its headers; 408
    int read_timeout_s = 5;   // the body, once the headers are in; 408
    int write_timeout_s = 5;  // each write; a client not reading this long is dropped
    std::size_t max_target_bytes = std::size_t{8} * 1024;   // 414 beyond (path and query)
    std::size_t max_header_bytes = std::size_t{16} * 1024;  // 431 beyond, all fields together
    std::size_t max_headers = 100;                          // 431 beyond
    std::size_t max_body_bytes = std::size_t{64} * 1024;    // 413 beyond
    unsigned max_history_points = 10000;                    // /api/history points=; 400 beyond
    unsigned default_history_points = 600;
    int write_wait_s = 10;       // /api/write waits this long for the outcome; 504 after
    int event_heartbeat_s = 15;  // a comment line keeps idle streams alive
    AuthThrottleLimits auth;     // wrong tokens: how many are free, and the delays after
};

class HttpServer {
  public:
    explicit HttpServer(PlantState& state, const HttpLimits& limits = HttpLimits());
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Set before start(). The table must outlive the server (the generated one is static).
    void set_assets(const HttpAsset* table, std::size_t count);
    // Where /api/history finds its trends (the history's, which must outlive the server);
    // without them the route answers 503.
    void set_trends(TrendSource* trends);
    // Families of other outputs, added to /metrics at every scrape, on the side thread.
    void set_metrics_source(MetricsSource source);
    // Each device's signal model (which must outlive the server), for /metrics and the
    // page's values in units; a device without one is shown with the defaults.
    void set_signal_models(SignalModels models);
    // Opens POST /api/write to requests bearing this token, each handed to `writes` (the
    // program's rule for remote writes, which must outlive the server); without this call
    // every write is refused with 403.
    void enable_writes(const std::string& token, RemoteWrites& writes);
    // The alarm list and journal of /api/alarms; their acknowledgement with the writes.
    void set_alarms(AlarmBoard* alarms);

    // Binds and serves on its own threads; port 0 takes a free port (see port()).
    bool start(const std::string& address, int port, std::string& error);
    int port() const;
    // Ends open event streams, stops listening and joins the threads.
    void stop();

    // Open event streams now, for tests and /metrics.
    unsigned event_streams() const;
    // The server's own families (connections, event streams, refused tokens). /metrics
    // of this server carries them already; a family written before is not written again.
    void describe_metrics(MetricsText& out) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The URL a listening address is reached at: "http://127.0.0.1:8080/",
// "http://[::1]:18099/" (an IPv6 address in brackets).
std::string http_url(const std::string& address, int port);

}  // namespace kv830host
