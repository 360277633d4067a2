// One request and the way back to its client, as the routes see them: the request already
// read and checked against the limits, and answers that may come from any thread, now or
// later (a write's outcome comes from the polling thread). The connection behind it stays
// the connection's business.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http_reply.h"

namespace kv830host {

class EventStream;

class Exchange {
  public:
    virtual ~Exchange() = default;

    std::string method;  // "GET", "POST", ...
    std::string path;    // the target before '?', as sent
    std::string client;  // the client's address, "192.0.2.7" or "2001:db8::7"
    std::string body;
    bool head = false;     // a HEAD request: the answer goes without its body
    bool gzip_ok = false;  // the client takes gzip

    // A query parameter, decoded; the first of that name counts.
    bool has_param(const std::string& name) const;
    std::string param(const std::string& name) const;
    // A header's value ("" when absent); names compare without case.
    bool has_header(const std::string& name) const;
    std::string header(const std::string& name) const;

    // Any thread. The first answer counts; later ones are dropped.
    virtual void answer(Reply reply) = 0;
    // The same after `delay`, without holding anything up meanwhile.
    virtual void answer_after(std::chrono::milliseconds delay, Reply reply) = 0;
    // The server's thread only: turns the connection into an event stream.
    virtual void open_stream(std::shared_ptr<EventStream> stream) = 0;
    // Runs `job` on the server's side thread, for work that may take long (a trend of a
    // month) or wait on another module (the metrics of every output).
    virtual void run_aside(std::function<void()> job) = 0;

    // Filled by the connection from the request line and headers.
    void set_query(const std::string& query);
    std::vector<std::pair<std::string, std::string>> headers;

  private:
    std::vector<std::pair<std::string, std::string>> params_;
};

using ExchangePtr = std::shared_ptr<Exchange>;

// "%E5%86%B7+x" -> "冷 x"; a '%' not followed by two hex digits stays as it is.
std::string decode_query_part(const std::string& text);

}  // namespace kv830host
