// One client connection on the server's event loop: it waits for a request with a
// deadline for each step (idle, request head, body, each write), refuses what breaks the
// limits before any route sees it, hands the request to the routes and writes their
// answer, or turns into an event stream. Everything here runs on the loop's thread.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/optional.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "http_core.h"

namespace kv830host {

class Connection;
class EventStream;

// What a connection needs of the server around it.
class ConnectionOwner {
  public:
    virtual ~ConnectionOwner() = default;
    virtual ServerCore& core() = 0;
    // The loop, shared: an answer may come from another thread after the server stopped.
    virtual std::shared_ptr<boost::asio::io_context> loop() = 0;
    // The connection has ended; it leaves the server's table (and may be freed after).
    virtual void closed(Connection& connection) = 0;
    virtual void run_aside(std::function<void()> job) = 0;
    // An event stream has opened: the cycle watcher must be running.
    virtual void stream_opened() = 0;
};

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    using Clock = std::chrono::steady_clock;

    // `client` is the address as the audit line names it; `key` the one its connections
    // are counted under.
    Connection(boost::asio::ip::tcp::socket socket, ConnectionOwner& owner, std::string client,
               std::string key);

    void start();
    // Answers `reply` at once, without reading a request, and ends (a client over its bound).
    void refuse(Reply reply);
    // Ends it now (the server stops, or needs its place).
    void close();

    // Waiting for a request or still reading its head: a connection that may give way.
    bool waiting() const { return phase_ == Phase::Idle || phase_ == Phase::Head; }
    Clock::time_point phase_since() const { return since_; }
    const std::string& key() const { return key_; }
    // New cycles may be waiting for an event stream.
    void on_cycles();

    // From the exchange, on the loop's thread.
    void send(Reply reply, std::size_t content_length);
    void begin_stream(std::shared_ptr<EventStream> events);
    void run_aside(std::function<void()> job) { owner_.run_aside(std::move(job)); }

  private:
    enum class Phase { Idle, Head, Body, Busy, Writing, Streaming, Closing, Closed };
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

    void set_phase(Phase phase);
    void wait_for_request();
    void read_head();
    void on_head(const boost::system::error_code& ec);
    bool head_within_limits(Reply& refusal) const;
    void read_body();
    void on_request(const boost::system::error_code& ec);
    void refuse_read(const boost::system::error_code& ec);
    void linger();
    void send_stream_text(const std::string& text);
    void write_stream();
    void watch_for_leave();

    boost::beast::tcp_stream stream_;
    ConnectionOwner& owner_;
    const HttpLimits& limits_;
    const std::string client_;
    const std::string key_;
    boost::beast::flat_buffer buffer_;
    boost::optional<Parser> parser_;
    Phase phase_ = Phase::Idle;
    Clock::time_point since_;
    bool keep_alive_ = true;
    unsigned version_ = 11;
    // The exchange being answered; held until its answer is sent so that its timers work.
    std::shared_ptr<void> current_;
    std::unique_ptr<boost::beast::http::response<boost::beast::http::string_body>> out_;
    // The event stream's state.
    std::shared_ptr<EventStream> events_;
    std::unique_ptr<boost::beast::http::response<boost::beast::http::empty_body>> stream_head_;
    std::unique_ptr<boost::beast::http::response_serializer<boost::beast::http::empty_body>>
        stream_serializer_;
    std::string pending_;  // stream text not yet written
    std::string chunk_;    // stream text being written
    bool writing_ = false;
    boost::asio::steady_timer heartbeat_;
    char leave_probe_ = 0;
};

// The address text of a client ("192.0.2.7", "2001:db8::7"; an IPv4 client of a dual-stack
// socket as IPv4), and the key its connections are counted under: the address itself, or
// for IPv6 its /64, which one host may fill with addresses of its own choosing.
std::string client_text(const boost::asio::ip::address& address);
std::string client_key(const boost::asio::ip::address& address);

}  // namespace kv830host
