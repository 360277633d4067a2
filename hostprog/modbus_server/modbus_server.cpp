#include "modbus_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "host_port.h"
#include "time_text.h"

namespace kv830host {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kBacklog = 16;
// The longest one poll waits for a deadline that is due (an idle client's limit, the end
// of an accept pause); with none due it waits for a client or the mailbox alone.
constexpr std::int64_t kMaxPollMs = 60000;
// Out of descriptors, a listening socket stays readable: it waits this long before the next
// accept rather than spinning.
constexpr auto kAcceptPause = std::chrono::seconds(1);

int port_of(const sockaddr_storage& address) {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&address);
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    return ntohs(address.ss_family == AF_INET6 ? in6->sin6_port : in4->sin_port);
}

std::string peer_text(const sockaddr_storage& peer, socklen_t size) {
    char host[NI_MAXHOST] = "?";
    getnameinfo(reinterpret_cast<const sockaddr*>(&peer), size, host, sizeof host, nullptr, 0,
                NI_NUMERICHOST);
    return kv830net::join_host_port(host, port_of(peer));
}

const char* kClosedReasons[] = {"garbage", "idle", "limit"};

}  // namespace

struct ModbusServer::Connection {
    Connection(std::size_t index, const LastRounds& rounds, bool writes, ServerCounters& counters)
        : slot(index), session(rounds, writes, counters) {}
    const std::size_t slot;
    int fd = -1;
    unsigned long long generation = 0;
    SteadyClock::time_point last_heard{};
    ClientSession session;
};

// Where the rule hands a write's outcome back, from whatever thread it runs on; shared with
// the callbacks of writes still under way, so that it outlives a server that stopped first.
struct ModbusServer::Mailbox {
    struct Delivery {
        std::size_t slot;
        unsigned long long generation;
        WriteOutcome outcome;
    };

    Mailbox() : wake_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Mailbox() {
        if (wake_fd >= 0) {
            ::close(wake_fd);
        }
    }
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    void post(Delivery delivery) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            items.push_back(std::move(delivery));
        }
        wake();
    }
    void wake() const {
        const std::uint64_t one = 1;
        // A full counter already wakes the thread: nothing to do when the write fails.
        if (::write(wake_fd, &one, sizeof one) < 0) {
            return;
        }
    }

    const int wake_fd;
    std::mutex mutex;
    std::vector<Delivery> items;
};

ModbusServer::ModbusServer(ModbusServerConfig config, StatusSink* status, RemoteWrites* writes)
    : config_(std::move(config)),
      status_(status),
      writes_(writes),
      rounds_(config_.devices),
      mailbox_(std::make_shared<Mailbox>()) {}

ModbusServer::~ModbusServer() {
    shut_down();
}

bool ModbusServer::start(std::string& error) {
    const std::string where =
        "--modbus-server " + kv830net::join_host_port(config_.host, config_.port) + ": ";
    if (config_.writes && writes_ == nullptr) {
        error = where + "writes need the program's rule for remote writes";
        return false;
    }
    if (mailbox_->wake_fd < 0) {
        error = where + std::strerror(errno);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc =
        ::getaddrinfo(config_.host.c_str(), std::to_string(config_.port).c_str(), &hints, &found);
    if (rc != 0) {
        error = where + gai_strerror(rc);
        return false;
    }
    int last_errno = 0;
    for (const addrinfo* a = found; a != nullptr && listener_ < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
            ::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, kBacklog) == 0) {
            listener_ = fd;
        } else {
            last_errno = errno;
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    ::freeaddrinfo(found);
    if (listener_ < 0) {
        error = where + std::strerror(last_errno);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    if (::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &size) == 0) {
        const std::lock_guard<std::mutex> lock(address_mutex_);
        address_ = kv830net::join_host_port(config_.host, port_of(bound));
    }
    // A slot's buffers (7 KiB) are made at its first client: most plants have one or two
    // SCADA clients, not the twenty a slot is kept for.
    connections_.resize(config_.max_clients);
    thread_ = std::thread(&ModbusServer::run, this);
    if (status_ != nullptr) {
        std::string units;
        for (const ServedDevice& d : config_.devices) {
            units += (units.empty() ? " unit " : ", unit ") + std::to_string(d.unit) +
                     " for data id " + std::to_string(d.data_id);
        }
        status_->write_line("", "kv830-host: Modbus TCP on " + address() + ":" + units +
                                    (config_.writes ? "; writes on" : "; reads only") + "\n");
    }
    return true;
}

std::string ModbusServer::address() const {
    const std::lock_guard<std::mutex> lock(address_mutex_);
    return address_.empty() ? kv830net::join_host_port(config_.host, config_.port) : address_;
}

void ModbusServer::stop() {
    shut_down();
}

void ModbusServer::shut_down() {
    if (thread_.joinable()) {
        stopping_.store(true);
        mailbox_->wake();
        thread_.join();
    }
    for (const auto& c : connections_) {
        if (c && c->fd >= 0) {
            close(*c, nullptr);
        }
    }
    if (listener_ >= 0) {
        ::close(listener_);
        listener_ = -1;
    }
}

void ModbusServer::run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    fds.reserve(connections_.size() + 2);
    polled.reserve(connections_.size());
    while (!stopping_.load()) {
        fds.clear();
        polled.clear();
        fds.push_back({mailbox_->wake_fd, POLLIN, 0});
        const bool accepting = SteadyClock::now() >= accept_paused_until_;
        fds.push_back({listener_, static_cast<short>(accepting ? POLLIN : 0), 0});
        for (const auto& c : connections_) {
            if (!c || c->fd < 0) {
                continue;
            }
            short events = 0;
            if (c->session.can_take() && c->session.input_room() > 0) {
                events = POLLIN;
            }
            if (c->session.output_size() > 0) {
                events = static_cast<short>(events | POLLOUT);
            }
            fds.push_back({c->fd, events, 0});
            polled.push_back(c.get());
        }
        if (::poll(fds.data(), fds.size(), poll_timeout_ms(SteadyClock::now())) < 0 &&
            errno != EINTR) {
            if (status_ != nullptr) {
                status_->write_line("", std::string("kv830-host: Modbus server: poll: ") +
                                            std::strerror(errno) + "\n");
            }
            return;
        }
        const SteadyClock::time_point now = SteadyClock::now();
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            // Emptied or not, the poll below looks at every connection again.
            if (::read(mailbox_->wake_fd, &count, sizeof count) < 0) {
                count = 0;
            }
        }
        deliver_outcomes();
        if ((fds[1].revents & POLLIN) != 0) {
            accept_clients(now);
        }
        for (std::size_t i = 0; i < polled.size(); ++i) {
            Connection& c = *polled[i];
            const pollfd& p = fds[i + 2];
            if (c.fd != p.fd) {
                continue;  // closed (and perhaps taken by a new client) since the poll
            }
            if ((p.revents & (POLLERR | POLLNVAL)) != 0) {
                close(c, nullptr);
                continue;
            }
            if ((p.revents & (POLLIN | POLLHUP)) != 0) {
                receive(c, now);
            }
            if (c.fd >= 0 && (p.revents & POLLOUT) != 0) {
                flush(c);
                if (c.fd >= 0) {
                    advance(c);  // requests that waited for room to answer
                }
            }
        }
        for (const auto& c : connections_) {
            if (c && c->fd >= 0 && !c->session.waiting() && now - c->last_heard >= config_.idle) {
                close(*c, &counters_.closed_idle);
            }
        }
    }
}

int ModbusServer::poll_timeout_ms(SteadyClock::time_point now) const {
    // Between rounds nothing is due but an idle client's limit or the end of an accept
    // pause: without either the thread sleeps until a client or the mailbox wakes it.
    bool due = false;
    SteadyClock::time_point next{};
    const auto take = [&](SteadyClock::time_point at) {
        next = due ? std::min(next, at) : at;
        due = true;
    };
    if (now < accept_paused_until_) {
        take(accept_paused_until_);
    }
    for (const auto& c : connections_) {
        if (c && c->fd >= 0 && !c->session.waiting()) {
            take(c->last_heard + config_.idle);
        }
    }
    if (!due) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now) +
                      std::chrono::milliseconds(1);
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, kMaxPollMs));
}

void ModbusServer::accept_clients(SteadyClock::time_point now) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &size,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) {
            continue;
        }
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                accept_paused_until_ = now + kAcceptPause;
            }
            return;
        }
        const auto free_slot = std::find_if(connections_.begin(), connections_.end(),
                                            [](const auto& c) { return !c || c->fd < 0; });
        if (free_slot == connections_.end()) {
            // Closed at once rather than left in the backlog, so the client knows.
            ::close(fd);
            ServerCounters::add(counters_.refused_connections);
            continue;
        }
        if (!*free_slot) {
            const auto slot = static_cast<std::size_t>(free_slot - connections_.begin());
            *free_slot = std::make_unique<Connection>(slot, rounds_, config_.writes, counters_);
        }
        const int on = 1;
        static_cast<void>(::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on));
        Connection& c = **free_slot;
        c.fd = fd;
        c.generation = ++next_generation_;
        c.last_heard = now;
        c.session.open("modbus " + peer_text(peer, size));
        counters_.clients.store(counters_.clients.load() + 1);
    }
}

void ModbusServer::receive(Connection& c, SteadyClock::time_point now) {
    const ssize_t n = ::recv(c.fd, c.session.input_space(), c.session.input_room(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        close(c, nullptr);
        return;
    }
    c.session.received(static_cast<std::size_t>(n));
    c.last_heard = now;
    advance(c);
}

void ModbusServer::advance(Connection& c) {
    // A client may send several requests at once: once their replies fill the output and
    // go out, the rest are answered without waiting for more bytes from the client.
    do {
        switch (c.session.serve(wall_clock_ms(), SteadyClock::now())) {
            case ClientSession::Step::Close:
                close(c, &counters_.closed_garbage);
                return;
            case ClientSession::Step::Write: {
                const std::size_t slot = c.slot;
                const unsigned long long generation = c.generation;
                writes_->submit(c.session.take_write(), [mailbox = mailbox_, slot,
                                                         generation](const WriteOutcome& outcome) {
                    mailbox->post({slot, generation, outcome});
                });
                flush(c);
                return;
            }
            case ClientSession::Step::Wait:
                break;
        }
        flush(c);
    } while (c.fd >= 0 && c.session.can_take() && c.session.has_request());
}

void ModbusServer::flush(Connection& c) {
    while (c.session.output_size() > 0) {
        const ssize_t n =
            ::send(c.fd, c.session.output(), c.session.output_size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (n <= 0) {
            close(c, nullptr);
            return;
        }
        c.session.sent(static_cast<std::size_t>(n));
    }
}

void ModbusServer::close(Connection& c, ServerCounters::Count* reason) {
    ::close(c.fd);
    c.fd = -1;
    counters_.clients.store(counters_.clients.load() - 1);
    if (reason != nullptr) {
        ServerCounters::add(*reason);
    }
}

void ModbusServer::deliver_outcomes() {
    std::vector<Mailbox::Delivery> delivered;
    {
        const std::lock_guard<std::mutex> lock(mailbox_->mutex);
        if (mailbox_->items.empty()) {
            return;
        }
        delivered.swap(mailbox_->items);
    }
    for (const Mailbox::Delivery& d : delivered) {
        if (!connections_[d.slot]) {
            continue;
        }
        Connection& c = *connections_[d.slot];
        if (c.fd >= 0 && c.generation == d.generation) {
            c.session.write_done(d.outcome, SteadyClock::now());
            c.last_heard = SteadyClock::now();
            advance(c);
        }
    }
}

void ModbusServer::describe_metrics(MetricsText& out) const {
    const std::string requests = "kv830_modbus_server_requests_total";
    out.family(requests, "counter", "Modbus TCP requests received, by function code");
    for (std::size_t i = 0; i < counters_.requests.size(); ++i) {
        out.sample(
            requests,
            {
                {"function", i < kCountedFunctions.size() ? std::to_string(kCountedFunctions[i])
                                                          : std::string("other")}
        },
            counters_.requests[i].load(std::memory_order_relaxed));
    }
    const std::string exceptions = "kv830_modbus_server_exceptions_total";
    out.family(exceptions, "counter", "Modbus TCP exception replies, by exception code");
    for (std::size_t i = 0; i < counters_.exceptions.size(); ++i) {
        out.sample(
            exceptions,
            {
                {"code", i < kCountedExceptions.size() ? std::to_string(kCountedExceptions[i])
                                                       : std::string("other")}
        },
            counters_.exceptions[i].load(std::memory_order_relaxed));
    }
    const std::string clients = "kv830_modbus_server_clients";
    out.family(clients, "gauge", "Modbus TCP clients connected now");
    out.sample(clients, {}, static_cast<unsigned long long>(counters_.clients.load()));
    const std::string closed = "kv830_modbus_server_connections_closed_total";
    out.family(closed, "counter",
               "Modbus TCP connections the server closed: garbage (not Modbus TCP), idle, or "
               "over the limit of clients");
    const ServerCounters::Count* reasons[] = {&counters_.closed_garbage, &counters_.closed_idle,
                                              &counters_.refused_connections};
    for (std::size_t i = 0; i < 3; ++i) {
        out.sample(closed,
                   {
                       {"reason", kClosedReasons[i]}
        },
                   reasons[i]->load(std::memory_order_relaxed));
    }
    const std::string repeated = "kv830_modbus_server_repeated_writes_total";
    out.family(repeated, "counter",
               "Modbus TCP writes repeated with their transaction id, answered without writing "
               "again");
    out.sample(repeated, {}, counters_.repeated_writes.load(std::memory_order_relaxed));
}

void ModbusServer::describe_status(Json::Value& out) const {
    unsigned long long requests = 0;
    for (const ServerCounters::Count& r : counters_.requests) {
        requests += r.load(std::memory_order_relaxed);
    }
    // Every output writes into the one object the page reads: under this output's name.
    Json::Value& facts = out["modbus_server"];
    facts["address"] = address();
    facts["clients"] = counters_.clients.load();
    facts["writes"] = config_.writes;
    facts["requests"] = static_cast<Json::UInt64>(requests);
}

}  // namespace kv830host
