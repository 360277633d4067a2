#include "http_server.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <map>
#include <unordered_map>

#include "cycle_watcher.h"
#include "http_connection.h"
#include "server_threads.h"
#include "small_thread.h"

namespace kv830host {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// After the system refuses a connection (no file descriptors left), accepting waits this
// long rather than spinning.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

}  // namespace

struct HttpServer::Impl : ConnectionOwner {
    Impl(PlantState& state, const HttpLimits& limits)
        : core_(state, limits),
          loop_(std::make_shared<net::io_context>(1)),
          acceptor_(*loop_),
          accept_pause_(*loop_),
          watcher_(*loop_, state, core_.streams, [this] { on_cycles(); }) {}

    ServerCore& core() override { return core_; }
    std::shared_ptr<net::io_context> loop() override { return loop_; }
    void closed(Connection& connection) override;
    void run_aside(std::function<void()> job) override { net::post(side_, std::move(job)); }
    void stream_opened() override;

    bool listen(const std::string& address, int port, std::string& error);
    bool start_threads(std::string& error);
    void accept_next();
    void on_accept(const boost::system::error_code& ec, tcp::socket socket);
    bool make_room();
    void on_cycles();
    void stop_on_loop();

    ServerCore core_;
    std::shared_ptr<net::io_context> loop_;
    net::io_context side_{1};
    // Keeps the side thread waiting for jobs until stop().
    net::executor_work_guard<net::io_context::executor_type> side_work_{side_.get_executor()};
    tcp::acceptor acceptor_;
    net::steady_timer accept_pause_;
    CycleWatcher watcher_;
    std::unordered_map<Connection*, std::shared_ptr<Connection>> open_;
    std::map<std::string, unsigned> per_client_;
    SmallThread loop_thread_;
    SmallThread side_thread_;
    int port_ = -1;
};

bool HttpServer::Impl::listen(const std::string& address, int port, std::string& error) {
    boost::system::error_code ec;
    tcp::resolver resolver(*loop_);
    const auto found = resolver.resolve(
        address, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    const std::string where = address + ":" + std::to_string(port);
    if (ec || found.empty()) {
        error = "cannot listen on " + where + ": " + (ec ? ec.message() : "no address");
        return false;
    }
    const tcp::endpoint endpoint = found.begin()->endpoint();
    // Address reuse only, never port reuse: a second program must not be able to bind the
    // same port and take half of the requests.
    if (acceptor_.open(endpoint.protocol(), ec) ||
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec) ||
        acceptor_.bind(endpoint, ec) ||
        acceptor_.listen(net::socket_base::max_listen_connections, ec)) {
        error = "cannot listen on " + where + ": " + ec.message();
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    port_ = acceptor_.local_endpoint(ec).port();
    return !ec;
}

bool HttpServer::Impl::start_threads(std::string& error) {
    accept_next();
    return side_thread_.start(
               "http-side", kSideStackBytes, [this] { side_.run(); }, error) &&
           loop_thread_.start(
               "http-loop", kLoopStackBytes, [this] { loop_->run(); }, error);
}

void HttpServer::Impl::accept_next() {
    acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        on_accept(ec, std::move(socket));
    });
}

void HttpServer::Impl::on_accept(const boost::system::error_code& ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor_.is_open()) {
        return;  // stopping
    }
    if (ec) {
        accept_pause_.expires_after(kAcceptPause);
        accept_pause_.async_wait([this](const boost::system::error_code& e) {
            if (!e) {
                accept_next();
            }
        });
        return;
    }
    boost::system::error_code peer_ec;
    const net::ip::address peer = socket.remote_endpoint(peer_ec).address();
    accept_next();
    if (peer_ec) {
        return;  // gone already
    }
    auto connection =
        std::make_shared<Connection>(std::move(socket), *this, client_text(peer), client_key(peer));
    const unsigned mine = per_client_[connection->key()];
    if (mine >= core_.limits.max_connections_per_client || !make_room()) {
        ++core_.connections_refused;
        Reply r = refusal(503, mine >= core_.limits.max_connections_per_client
                                   ? "too many connections from " + connection->key()
                                   : "too many connections");
        r.set("Retry-After", "5");
        connection->refuse(std::move(r));  // not counted: it ends after this answer
        return;
    }
    ++per_client_[connection->key()];
    open_.emplace(connection.get(), connection);
    core_.connections = static_cast<unsigned>(open_.size());
    connection->start();
}

// At the bound of all connections, the oldest one still idle or reading its head gives
// way: the one a slow client is most likely to hold. False when none can.
bool HttpServer::Impl::make_room() {
    if (open_.size() < core_.limits.max_connections) {
        return true;
    }
    Connection* oldest = nullptr;
    for (const auto& entry : open_) {
        if (entry.first->waiting() &&
            (oldest == nullptr || entry.first->phase_since() < oldest->phase_since())) {
            oldest = entry.first;
        }
    }
    if (oldest == nullptr) {
        return false;
    }
    oldest->close();
    return true;
}

void HttpServer::Impl::closed(Connection& connection) {
    const auto found = open_.find(&connection);
    if (found == open_.end()) {
        return;  // a refused one, never counted
    }
    const auto client = per_client_.find(connection.key());
    if (client != per_client_.end() && --client->second == 0) {
        per_client_.erase(client);
    }
    // May free the connection: Connection::close() calls this last and touches nothing after.
    open_.erase(found);
    core_.connections = static_cast<unsigned>(open_.size());
}

void HttpServer::Impl::stream_opened() {
    // Should the system refuse the thread, the streams get only their heartbeats and
    // everything else still works.
    std::string error;
    (void)watcher_.stream_opened(error);
}

void HttpServer::Impl::on_cycles() {
    for (const auto& entry : open_) {
        entry.first->on_cycles();
    }
}

void HttpServer::Impl::stop_on_loop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    accept_pause_.cancel();
    std::vector<std::shared_ptr<Connection>> all;
    for (const auto& entry : open_) {
        all.push_back(entry.second);
    }
    for (const auto& connection : all) {
        connection->close();
    }
    loop_->stop();
}

HttpServer::HttpServer(PlantState& state, const HttpLimits& limits)
    : impl_(std::make_unique<Impl>(state, limits)) {}

HttpServer::~HttpServer() {
    stop();
}

void HttpServer::set_assets(const HttpAsset* table, std::size_t count) {
    impl_->core_.assets = make_page_assets(table, count);
}

void HttpServer::set_trends(TrendSource* trends) {
    impl_->core_.trends = trends;
}

void HttpServer::set_metrics_source(MetricsSource source) {
    impl_->core_.metrics_source = std::move(source);
}

void HttpServer::set_signal_models(SignalModels models) {
    impl_->core_.models = std::move(models);
}

void HttpServer::enable_writes(const std::string& token, RemoteWrites& writes) {
    impl_->core_.token = token;
    impl_->core_.writes = &writes;
}

void HttpServer::set_alarms(AlarmBoard* alarms) {
    impl_->core_.alarms = alarms;
}

bool HttpServer::start(const std::string& address, int port, std::string& error) {
    Impl& s = *impl_;
    if (s.loop_thread_.running()) {
        error = "the HTTP server is running already";
        return false;
    }
    if (!s.listen(address, port, error)) {
        return false;
    }
    if (!s.start_threads(error)) {
        stop();
        return false;
    }
    return true;
}

int HttpServer::port() const {
    return impl_->port_;
}

unsigned HttpServer::event_streams() const {
    return impl_->core_.streams.load();
}

void HttpServer::describe_metrics(MetricsText& out) const {
    impl_->core_.describe_metrics(out);
}

void HttpServer::stop() {
    Impl& s = *impl_;
    if (s.loop_thread_.running()) {
        net::post(*s.loop_, [&s] { s.stop_on_loop(); });
        s.loop_thread_.join();
    }
    s.watcher_.stop();
    // A job under way (a scrape waiting on another module) is finished first; the ones
    // still queued are dropped.
    s.side_.stop();
    s.side_thread_.join();
}

std::string http_url(const std::string& address, int port) {
    const bool v6 = address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
}

}  // namespace kv830host
