#include "http_connection.h"

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "event_stream.h"

namespace kv830host {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;

namespace {

// What the first read of a request takes at most; the parser asks for more as it needs.
constexpr std::size_t kReadChunk = 4096;
// The request line's method, version and spaces around the target.
constexpr std::size_t kRequestLineSlack = 64;
// How long a refused client has to read its answer before the connection is cut.
constexpr auto kLingerTime = std::chrono::seconds(1);

class ConnectionExchange : public Exchange,
                           public std::enable_shared_from_this<ConnectionExchange> {
  public:
    ConnectionExchange(std::shared_ptr<Connection> connection,
                       std::shared_ptr<net::io_context> loop)
        : connection_(std::move(connection)), loop_(std::move(loop)) {}

    void answer(Reply reply) override {
        if (answered_.exchange(true)) {
            return;
        }
        // Compressing here keeps a large answer's cost on the thread that made it.
        const std::size_t length = finish_reply(reply, gzip_ok, head);
        net::post(*loop_, [c = connection_, r = std::move(reply), length]() mutable {
            c->send(std::move(r), length);
        });
    }

    void answer_after(std::chrono::milliseconds delay, Reply reply) override {
        if (delay.count() <= 0) {
            answer(std::move(reply));
            return;
        }
        auto timer = std::make_shared<net::steady_timer>(*loop_, delay);
        timer->async_wait([timer, weak = std::weak_ptr<ConnectionExchange>(shared_from_this()),
                           r = std::move(reply)](const boost::system::error_code& ec) mutable {
            const auto self = weak.lock();
            if (!ec && self) {
                self->answer(std::move(r));
            }
        });
    }

    void open_stream(std::shared_ptr<EventStream> stream) override {
        if (!answered_.exchange(true)) {
            connection_->begin_stream(std::move(stream));
        }
    }

    void run_aside(std::function<void()> job) override { connection_->run_aside(std::move(job)); }

  private:
    const std::shared_ptr<Connection> connection_;
    const std::shared_ptr<net::io_context> loop_;
    std::atomic<bool> answered_{false};
};

bool is_timeout(const boost::system::error_code& ec) {
    return ec == beast::error::timeout;
}

}  // namespace

std::string client_text(const net::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6()).to_string();
    }
    return address.to_string();
}

std::string client_key(const net::ip::address& address) {
    if (!address.is_v6() || address.to_v6().is_v4_mapped()) {
        return client_text(address);
    }
    net::ip::address_v6::bytes_type bytes = address.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return net::ip::address_v6(bytes).to_string() + "/64";
}

Connection::Connection(net::ip::tcp::socket socket, ConnectionOwner& owner, std::string client,
                       std::string key)
    : stream_(std::move(socket)),
      owner_(owner),
      limits_(owner.core().limits),
      client_(std::move(client)),
      key_(std::move(key)),
      buffer_(limits_.max_target_bytes + limits_.max_header_bytes + kRequestLineSlack + kReadChunk),
      since_(Clock::now()),
      heartbeat_(stream_.get_executor()) {}

void Connection::set_phase(Phase phase) {
    phase_ = phase;
    since_ = Clock::now();
}

void Connection::start() {
    boost::system::error_code ignored;
    stream_.socket().set_option(net::ip::tcp::no_delay(true), ignored);
    wait_for_request();
}

// Idle until the request's first byte; the head's own deadline starts there.
void Connection::wait_for_request() {
    set_phase(Phase::Idle);
    if (buffer_.size() > 0) {
        read_head();
        return;
    }
    stream_.expires_after(std::chrono::seconds(limits_.idle_s));
    stream_.async_read_some(
        buffer_.prepare(kReadChunk),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
            if (ec) {
                self->close();  // idle too long, or gone
                return;
            }
            self->buffer_.commit(n);
            self->read_head();
        });
}

void Connection::read_head() {
    set_phase(Phase::Head);
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits_.max_target_bytes +
                                                     limits_.max_header_bytes + kRequestLineSlack));
    parser_->body_limit(limits_.max_body_bytes);
    stream_.expires_after(std::chrono::seconds(limits_.request_head_s));
    bhttp::async_read_header(stream_, buffer_, *parser_,
                             [self = shared_from_this()](const boost::system::error_code& ec,
                                                         std::size_t) { self->on_head(ec); });
}

void Connection::on_head(const boost::system::error_code& ec) {
    if (ec) {
        refuse_read(ec);
        return;
    }
    Reply refusal_reply;
    if (!head_within_limits(refusal_reply)) {
        refuse(std::move(refusal_reply));
        return;
    }
    const auto& request = parser_->get();
    if (!parser_->is_done() && beast::iequals(request[bhttp::field::expect], "100-continue")) {
        // The client waits for this before it sends the body.
        static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        stream_.expires_after(std::chrono::seconds(limits_.write_timeout_s));
        net::async_write(
            stream_, net::buffer(kContinue, sizeof kContinue - 1),
            [self = shared_from_this()](const boost::system::error_code& e, std::size_t) {
                if (e) {
                    self->close();
                    return;
                }
                self->read_body();
            });
        return;
    }
    read_body();
}

bool Connection::head_within_limits(Reply& out) const {
    const auto& request = parser_->get();
    if (request.target().size() > limits_.max_target_bytes) {
        out = refusal(414, "request target longer than " +
                               std::to_string(limits_.max_target_bytes) + " bytes");
        return false;
    }
    std::size_t fields = 0;
    std::size_t bytes = 0;
    for (const auto& field : request) {
        ++fields;
        bytes += field.name_string().size() + field.value().size() + 4;  // ": " and CRLF
    }
    if (fields > limits_.max_headers || bytes > limits_.max_header_bytes) {
        out =
            refusal(431, "request header fields over " + std::to_string(limits_.max_header_bytes) +
                             " bytes in all or " + std::to_string(limits_.max_headers) + " fields");
        return false;
    }
    return true;
}

void Connection::read_body() {
    set_phase(Phase::Body);
    stream_.expires_after(std::chrono::seconds(limits_.read_timeout_s));
    bhttp::async_read(stream_, buffer_, *parser_,
                      [self = shared_from_this()](const boost::system::error_code& ec,
                                                  std::size_t) { self->on_request(ec); });
}

void Connection::on_request(const boost::system::error_code& ec) {
    if (ec) {
        refuse_read(ec);
        return;
    }
    stream_.expires_never();
    set_phase(Phase::Busy);
    bhttp::request<bhttp::string_body> request = parser_->release();
    parser_.reset();
    keep_alive_ = request.keep_alive();
    version_ = request.version();
    auto ex = std::make_shared<ConnectionExchange>(shared_from_this(), owner_.loop());
    ex->method = std::string(request.method_string());
    const beast::string_view target = request.target();
    const std::size_t question = target.find('?');
    ex->path = std::string(target.substr(0, question));
    if (question != beast::string_view::npos) {
        ex->set_query(std::string(target.substr(question + 1)));
    }
    ex->client = client_;
    ex->head = request.method() == bhttp::verb::head;
    for (const auto& field : request) {
        ex->headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    ex->gzip_ok = accepts_gzip(ex->header("Accept-Encoding"));
    ex->body = std::move(request.body());
    current_ = ex;
    route_request(owner_.core(), ex);
}

// A request that could not be read whole: answered with why when the client may still
// read it, else just ended. A deadline that passed has closed the socket already (the
// stream does that), which suits a slow client: it is owed no answer.
void Connection::refuse_read(const boost::system::error_code& ec) {
    if (is_timeout(ec)) {
        ++owner_.core().request_timeouts;
        close();
    } else if (ec == bhttp::error::header_limit) {
        // Over the limit of the whole head: the request line alone, or the fields.
        const auto data = buffer_.data();
        const beast::string_view seen(static_cast<const char*>(data.data()), data.size());
        const std::size_t eol = seen.find("\r\n");
        if (eol == beast::string_view::npos || eol > limits_.max_target_bytes + kRequestLineSlack) {
            refuse(refusal(414, "request target longer than " +
                                    std::to_string(limits_.max_target_bytes) + " bytes"));
        } else {
            refuse(refusal(431, "request header fields over " +
                                    std::to_string(limits_.max_header_bytes) + " bytes in all"));
        }
    } else if (ec == bhttp::error::bad_version) {
        refuse(refusal(505, "HTTP/1.0 and HTTP/1.1 only"));
    } else if (ec == bhttp::error::body_limit) {
        refuse(
            refusal(413, "request body over " + std::to_string(limits_.max_body_bytes) + " bytes"));
    } else if (ec.category() == bhttp::make_error_code(bhttp::error::bad_target).category() &&
               ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message) {
        refuse(refusal(400, "malformed request: " + ec.message()));
    } else {
        close();  // gone, or reset
    }
}

void Connection::refuse(Reply reply) {
    reply.close = true;
    reply.compressible = false;
    keep_alive_ = false;
    const std::size_t length = finish_reply(reply, false, false);
    send(std::move(reply), length);
}

void Connection::send(Reply reply, std::size_t content_length) {
    if (phase_ == Phase::Closed || phase_ == Phase::Closing) {
        return;
    }
    current_.reset();
    out_ = std::make_unique<bhttp::response<bhttp::string_body>>(
        static_cast<bhttp::status>(reply.status), version_);
    out_->set(bhttp::field::content_type, reply.content_type);
    for (auto& header : reply.headers) {
        out_->set(header.first, header.second);
    }
    out_->set("X-Content-Type-Options", "nosniff");
    const bool keep = keep_alive_ && !reply.close;
    out_->keep_alive(keep);
    out_->body() = std::move(reply.body);
    if (reply.status >= 200 && reply.status != 204 && reply.status != 304) {
        out_->content_length(content_length);
    }
    set_phase(Phase::Writing);
    stream_.expires_after(std::chrono::seconds(limits_.write_timeout_s));
    bhttp::async_write(
        stream_, *out_,
        [self = shared_from_this(), keep](const boost::system::error_code& ec, std::size_t) {
            self->out_.reset();
            if (ec) {
                self->close();
            } else if (keep) {
                self->wait_for_request();
            } else {
                self->linger();
            }
        });
}

// Ends the sending side and reads what the client still sends for a moment, so that its
// last request's rest does not turn the close into a reset that loses our answer.
void Connection::linger() {
    set_phase(Phase::Closing);
    boost::system::error_code ignored;
    stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    buffer_.consume(buffer_.size());
    stream_.expires_after(kLingerTime);
    stream_.async_read_some(
        buffer_.prepare(kReadChunk),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
            if (ec) {
                self->close();
            } else {
                self->linger();
            }
        });
}

void Connection::close() {
    if (phase_ == Phase::Closed) {
        return;
    }
    phase_ = Phase::Closed;
    current_.reset();
    events_.reset();  // gives back the stream's place
    heartbeat_.cancel();
    boost::system::error_code ignored;
    stream_.socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
    stream_.close();
    owner_.closed(*this);  // last: may free this connection
}

void Connection::begin_stream(std::shared_ptr<EventStream> events) {
    current_.reset();
    events_ = std::move(events);
    set_phase(Phase::Streaming);
    owner_.stream_opened();
    stream_head_ =
        std::make_unique<bhttp::response<bhttp::empty_body>>(bhttp::status::ok, version_);
    stream_head_->set(bhttp::field::content_type, "text/event-stream");
    stream_head_->set(bhttp::field::cache_control, "no-store");
    stream_head_->set("X-Accel-Buffering", "no");
    stream_head_->set("X-Content-Type-Options", "nosniff");
    stream_head_->chunked(true);
    stream_serializer_ =
        std::make_unique<bhttp::response_serializer<bhttp::empty_body>>(*stream_head_);
    pending_ = EventStream::opening() + events_->take_new();
    writing_ = true;
    stream_.expires_after(std::chrono::seconds(limits_.write_timeout_s));
    bhttp::async_write_header(
        stream_, *stream_serializer_,
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
            self->writing_ = false;
            if (ec) {
                self->close();
                return;
            }
            self->write_stream();
        });
    watch_for_leave();
}

void Connection::on_cycles() {
    if (phase_ == Phase::Streaming && events_) {
        send_stream_text(events_->take_new());
    }
}

void Connection::send_stream_text(const std::string& text) {
    pending_ += text;
    if (!writing_) {
        write_stream();
    }
}

// One chunk at a time; what arrives meanwhile goes in the next. A client that does not
// read for the write timeout is dropped, so a stalled page holds no memory for long.
void Connection::write_stream() {
    if (phase_ != Phase::Streaming) {
        return;
    }
    if (pending_.empty()) {
        heartbeat_.expires_after(std::chrono::seconds(limits_.event_heartbeat_s));
        heartbeat_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (!ec) {
                self->send_stream_text(EventStream::heartbeat());
            }
        });
        return;
    }
    chunk_ = std::move(pending_);
    pending_.clear();
    writing_ = true;
    stream_.expires_after(std::chrono::seconds(limits_.write_timeout_s));
    net::async_write(stream_, bhttp::make_chunk(net::buffer(chunk_)),
                     [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                         self->writing_ = false;
                         if (ec) {
                             self->close();
                             return;
                         }
                         self->write_stream();
                     });
}

// A stream's client sends nothing more: anything readable is its leaving (or a request
// it may not make here), and ends the stream at once rather than at the next write.
void Connection::watch_for_leave() {
    stream_.socket().async_wait(net::ip::tcp::socket::wait_read,
                                [self = shared_from_this()](const boost::system::error_code& ec) {
                                    if (!ec) {
                                        self->close();
                                    }
                                });
}

}  // namespace kv830host
