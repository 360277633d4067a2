#include "mqtt_publisher.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ha_discovery.h"
#include "mqtt_messages.h"
#include "write_command.h"

namespace kv830host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kQos = 1;
// Messages handed to the client library and not yet acknowledged; below the library's
// own in-flight limit (20), so that it never queues on its own behalf.
constexpr int kInflightWindow = 10;
constexpr int kPollMaxMs = 500;  // the library's keepalive work needs regular calls
constexpr std::size_t kResultsMax = 64;
constexpr double kStopFlushSeconds = 2.0;
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

struct LibraryUse {
    LibraryUse() { mosquitto_lib_init(); }
    ~LibraryUse() { mosquitto_lib_cleanup(); }
};

void use_library() {
    static LibraryUse use;
}

// One queued cycle. The polling side only creates and drops these; the fields below the
// round belong to the network thread.
struct Entry {
    RoundPtr round;
    std::string cycle_json;          // formatted on the network thread, once
    unsigned long long sent_in = 0;  // connection generation it was last sent in; 0 never
    int unacknowledged = 0;
    bool acknowledged = false;
};

// What the polling side and the write path hand to the network thread. Shared, so that a
// write outcome arriving after the publisher is gone finds it still there.
struct Inbox {
    std::mutex mutex;
    std::deque<std::shared_ptr<Entry>> queue;
    std::deque<std::string> results;  // write result payloads to publish
    int wake_fd = -1;

    Inbox() : wake_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Inbox() {
        if (wake_fd >= 0) {
            close(wake_fd);
        }
    }
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    void wake() const {
        const std::uint64_t one = 1;
        // A full counter already means "wake up": the result does not matter.
        const ssize_t n = write(wake_fd, &one, sizeof one);
        static_cast<void>(n);
    }
    void drain() const {
        std::uint64_t value = 0;
        const ssize_t n = read(wake_fd, &value, sizeof value);
        static_cast<void>(n);
    }
};

}  // namespace

struct MqttPublisher::Impl {
    explicit Impl(MqttConfig c) : config(std::move(c)), inbox(std::make_shared<Inbox>()) {}

    MqttConfig config;
    std::shared_ptr<Inbox> inbox;
    RemoteWrites* writes = nullptr;
    std::function<void(const std::string&)> log = [](const std::string& line) {
        std::cerr << "kv830-host: mqtt: " << line << std::endl;
    };

    std::thread thread;
    std::atomic<std::size_t> depth{0};
    std::atomic<unsigned long long> dropped{0};
    std::atomic<unsigned long long> published{0};
    std::atomic<unsigned long long> reconnects{0};
    std::atomic<unsigned long long> writes_refused{0};
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> connected_flag{false};
    bool started = false;

    // Network thread only, from here on.
    mosquitto* mosq = nullptr;
    std::string lost_reason;
    unsigned long long generation = 0;
    unsigned long long attempts = 0;
    double backoff_s = 0.0;
    Clock::time_point next_attempt{};
    Clock::time_point attempt_started{};
    std::map<int, std::shared_ptr<Entry>> inflight;  // mid -> entry
    unsigned long long dropped_reported = 0;         // drops already told in a "connected" line
    std::string status_topic, snapshot_topic, cycle_topic, write_topic, result_topic;
    std::string ha_topic;
    DiscoveryMessage discovery;
    // What the library's callbacks ask to send, sent once the read or write that called
    // them has returned: the library holds its callback lock while calling, and a publish
    // or subscribe from inside takes its message locks under it, the reverse of the
    // order its own reading and writing take them in.
    int offline_mid = -1;
    bool announce_due = false;
    bool discovery_due = false;
    bool connected = false;
    bool lost = false;
    bool offline_acknowledged = false;
    bool drop_told = false;  // "dropping" said during this absence

    void run();
    bool open_client();
    void close_client(const std::string& reason);
    void poll_once(int timeout_ms);
    void pump();
    void publish_results();
    void publish_discovery();
    void handle_write(const std::string& payload, bool retained);
    void acknowledged(int mid);
    void flush_and_close();
    void tell_drops();
    void send_deferred();

    static void on_connect(mosquitto*, void* self, int rc);
    static void on_disconnect(mosquitto*, void* self, int rc);
    static void on_publish(mosquitto*, void* self, int mid);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);
};

void MqttPublisher::Impl::on_connect(mosquitto*, void* self, int rc) {
    auto* impl = static_cast<Impl*>(self);
    if (rc != 0) {
        impl->lost = true;
        impl->lost_reason =
            std::string("broker refused the connection: ") + mosquitto_connack_string(rc);
        return;
    }
    impl->connected = true;
    impl->connected_flag = true;
    impl->backoff_s = 0.0;
    ++impl->generation;
    impl->announce_due = true;
    const unsigned long long dropped_now = impl->dropped.load();
    if (impl->attempts > 1 || dropped_now != impl->dropped_reported) {
        impl->log("connected to " + impl->config.broker.host + ":" +
                  std::to_string(impl->config.broker.port) + "; " +
                  std::to_string(impl->depth.load()) + " cycles queued, " +
                  std::to_string(dropped_now - impl->dropped_reported) + " dropped while away");
        impl->dropped_reported = dropped_now;
    }
    impl->drop_told = false;
}

void MqttPublisher::Impl::on_disconnect(mosquitto*, void* self, int rc) {
    auto* impl = static_cast<Impl*>(self);
    impl->lost = true;
    if (impl->lost_reason.empty()) {
        impl->lost_reason =
            rc == 0 ? "disconnected" : std::string("connection lost: ") + mosquitto_strerror(rc);
    }
}

void MqttPublisher::Impl::on_publish(mosquitto*, void* self, int mid) {
    static_cast<Impl*>(self)->acknowledged(mid);
}

void MqttPublisher::Impl::on_message(mosquitto*, void* self, const mosquitto_message* message) {
    auto* impl = static_cast<Impl*>(self);
    const std::string topic = message->topic != nullptr ? message->topic : "";
    const std::string payload(
        static_cast<const char*>(message->payload),
        message->payload != nullptr ? static_cast<std::size_t>(message->payloadlen) : 0U);
    if (impl->config.writes && topic == impl->write_topic) {
        impl->handle_write(payload, message->retain);
    } else if (impl->config.ha_discovery && topic == impl->ha_topic && payload == kOnline) {
        impl->discovery_due = true;
    }
}

void MqttPublisher::Impl::acknowledged(int mid) {
    if (mid == offline_mid) {
        offline_acknowledged = true;
        return;
    }
    const auto it = inflight.find(mid);
    if (it == inflight.end()) {
        return;
    }
    const std::shared_ptr<Entry> entry = it->second;
    inflight.erase(it);
    if (--entry->unacknowledged > 0) {
        return;
    }
    entry->acknowledged = true;
    const std::lock_guard<std::mutex> lock(inbox->mutex);
    while (!inbox->queue.empty() && inbox->queue.front()->acknowledged) {
        inbox->queue.pop_front();
        ++published;
    }
    depth = inbox->queue.size();
}

void MqttPublisher::Impl::publish_discovery() {
    mosquitto_publish(mosq, nullptr, discovery.topic.c_str(),
                      static_cast<int>(discovery.payload.size()), discovery.payload.data(), kQos,
                      true);
}

void MqttPublisher::Impl::handle_write(const std::string& payload, bool retained) {
    RemoteWrite write;
    std::string error;
    const bool parsed = parse_write_command(payload, write, error);
    write.source = "mqtt";
    write.retained = retained;
    // The result goes out from this thread, after the library's call that brought the
    // command has returned; a refusal comes back at once, an outcome from the polling
    // thread later.
    std::weak_ptr<Inbox> weak = inbox;
    auto answer = [weak, write](const WriteOutcome& outcome) {
        const std::shared_ptr<Inbox> box = weak.lock();
        if (!box) {
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(box->mutex);
            if (box->results.size() < kResultsMax) {
                box->results.push_back(format_write_result(write, outcome));
            }
        }
        box->wake();
    };
    if (writes == nullptr) {
        WriteOutcome outcome;
        outcome.kind = WriteOutcome::Kind::Refused;
        outcome.reason = "writes are not available in this program";
        ++writes_refused;
        answer(outcome);
        return;
    }
    if (!parsed) {
        ++writes_refused;
        writes->refuse(write, WriteRefusal::Malformed, error, answer);
        return;
    }
    // The topic names the device; a payload may repeat its id, never name another.
    if (write.has_data_id && write.command.data_id != config.data_id) {
        ++writes_refused;
        writes->refuse(write, WriteRefusal::UnknownDevice,
                       "data_id " + std::to_string(write.command.data_id) +
                           " is not this topic's device " + std::to_string(config.data_id),
                       answer);
        return;
    }
    write.has_data_id = true;
    write.command.data_id = config.data_id;
    writes->submit(write, answer);
}

bool MqttPublisher::Impl::open_client() {
    ++attempts;
    if (attempts > 1) {
        ++reconnects;
    }
    lost = false;
    lost_reason.clear();
    // A fresh client per attempt: nothing of a failed connection (its half-sent packets,
    // its TLS state) carries over, and our own queue decides what is sent again.
    mosq = mosquitto_new(config.client_id.c_str(), true, this);
    if (mosq == nullptr) {
        lost_reason = "cannot create the MQTT client";
        return false;
    }
    mosquitto_connect_callback_set(mosq, &Impl::on_connect);
    mosquitto_disconnect_callback_set(mosq, &Impl::on_disconnect);
    mosquitto_publish_callback_set(mosq, &Impl::on_publish);
    mosquitto_message_callback_set(mosq, &Impl::on_message);
    int rc = mosquitto_will_set(mosq, status_topic.c_str(), static_cast<int>(std::strlen(kOffline)),
                                kOffline, kQos, true);
    if (rc == MOSQ_ERR_SUCCESS && !config.broker.user.empty()) {
        rc = mosquitto_username_pw_set(
            mosq, config.broker.user.c_str(),
            config.broker.has_password ? config.broker.password.c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && config.broker.tls) {
        rc = mosquitto_tls_set(mosq, config.ca_file.empty() ? nullptr : config.ca_file.c_str(),
                               config.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr,
                               nullptr, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        attempt_started = Clock::now();
        rc = mosquitto_connect_async(mosq, config.broker.host.c_str(), config.broker.port,
                                     config.keepalive_s);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        lost_reason = rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno))
                                           : std::string(mosquitto_strerror(rc));
        if (rc == MOSQ_ERR_EAI) {
            lost_reason = "cannot resolve '" + config.broker.host + "'";
        }
        return false;
    }
    return true;
}

void MqttPublisher::Impl::close_client(const std::string& reason) {
    if (mosq != nullptr) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    if (connected || attempts == 1) {
        log("broker " + config.broker.host + ":" + std::to_string(config.broker.port) +
            " not reachable (" + reason + "); retrying, cycles are queued");
    }
    connected = false;
    connected_flag = false;
    inflight.clear();
    announce_due = false;
    discovery_due = false;
    {
        // Everything not acknowledged goes out again on the next connection.
        const std::lock_guard<std::mutex> lock(inbox->mutex);
        for (const auto& entry : inbox->queue) {
            entry->sent_in = 0;
        }
    }
    backoff_s =
        backoff_s <= 0.0 ? config.backoff_min_s : std::min(config.backoff_max_s, backoff_s * 2.0);
    next_attempt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(backoff_s));
}

void MqttPublisher::Impl::pump() {
    if (!connected) {
        return;
    }
    std::vector<std::shared_ptr<Entry>> to_send;
    {
        const std::lock_guard<std::mutex> lock(inbox->mutex);
        int window = kInflightWindow - static_cast<int>(inflight.size());
        for (const auto& entry : inbox->queue) {
            if (window <= 0) {
                break;
            }
            if (entry->sent_in == generation || entry->acknowledged) {
                continue;
            }
            to_send.push_back(entry);
            window -= 2;
        }
    }
    for (const auto& entry : to_send) {
        if (entry->cycle_json.empty()) {
            entry->cycle_json = format_cycle_json(*entry->round);
        }
        entry->sent_in = generation;
        entry->unacknowledged = 0;
        int mid = 0;
        if (mosquitto_publish(mosq, &mid, cycle_topic.c_str(),
                              static_cast<int>(entry->cycle_json.size()), entry->cycle_json.data(),
                              kQos, false) == MOSQ_ERR_SUCCESS) {
            inflight[mid] = entry;
            ++entry->unacknowledged;
        }
        const std::string& snapshot = entry->round->snapshot;
        if (entry->round->completed && !snapshot.empty() &&
            mosquitto_publish(mosq, &mid, snapshot_topic.c_str(), static_cast<int>(snapshot.size()),
                              snapshot.data(), kQos, config.retain) == MOSQ_ERR_SUCCESS) {
            inflight[mid] = entry;
            ++entry->unacknowledged;
        }
        if (entry->unacknowledged == 0) {
            // The library refused both (connection going down): sent again next time.
            entry->sent_in = 0;
        }
    }
}

void MqttPublisher::Impl::publish_results() {
    if (!connected) {
        return;
    }
    std::deque<std::string> results;
    {
        const std::lock_guard<std::mutex> lock(inbox->mutex);
        results.swap(inbox->results);
    }
    for (const std::string& result : results) {
        mosquitto_publish(mosq, nullptr, result_topic.c_str(), static_cast<int>(result.size()),
                          result.data(), kQos, false);
    }
}

void MqttPublisher::Impl::send_deferred() {
    if (mosq == nullptr || !connected || lost) {
        return;
    }
    if (announce_due) {
        announce_due = false;
        discovery_due = config.ha_discovery;
        // The will covers a crash; this says we are here, for Home Assistant's availability.
        mosquitto_publish(mosq, nullptr, status_topic.c_str(),
                          static_cast<int>(std::strlen(kOnline)), kOnline, kQos, true);
        if (config.writes) {
            mosquitto_subscribe(mosq, nullptr, write_topic.c_str(), kQos);
        }
        if (config.ha_discovery) {
            mosquitto_subscribe(mosq, nullptr, ha_topic.c_str(), kQos);
        }
    }
    if (discovery_due) {
        discovery_due = false;
        // Once a run: the announcement from before the node id goes, so that Home Assistant
        // keeps one device.
        if (!discovery.former_topic.empty() &&
            mosquitto_publish(mosq, nullptr, discovery.former_topic.c_str(), 0, nullptr, kQos,
                              true) == MOSQ_ERR_SUCCESS) {
            discovery.former_topic.clear();
        }
        publish_discovery();
    }
}

void MqttPublisher::Impl::poll_once(int timeout_ms) {
    pollfd fds[2] = {};
    fds[0].fd = inbox->wake_fd;
    fds[0].events = POLLIN;
    nfds_t count = 1;
    if (mosq != nullptr && mosquitto_socket(mosq) >= 0) {
        fds[1].fd = mosquitto_socket(mosq);
        fds[1].events = static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0));
        count = 2;
    }
    const int n = poll(fds, count, timeout_ms);
    if (n > 0 && (fds[0].revents & POLLIN) != 0) {
        inbox->drain();
    }
    if (mosq == nullptr) {
        return;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (count == 2 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        rc = mosquitto_loop_read(mosq, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && mosq != nullptr && mosquitto_want_write(mosq)) {
        rc = mosquitto_loop_write(mosq, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_misc(mosq);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        send_deferred();
    }
    if (rc != MOSQ_ERR_SUCCESS && !lost) {
        lost = true;
        lost_reason = rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno))
                                           : std::string(mosquitto_strerror(rc));
    }
    if (!connected && !lost &&
        seconds_between(attempt_started, Clock::now()) > config.connect_timeout_s) {
        lost = true;
        lost_reason = "no answer from the broker";
    }
}

void MqttPublisher::Impl::flush_and_close() {
    if (mosq == nullptr || !connected) {
        return;
    }
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(kStopFlushSeconds));
    // What the queue still holds, then the clean exit's "offline" (the broker drops the
    // will on a clean disconnect).
    while (connected && !lost && Clock::now() < deadline && depth.load() > 0) {
        pump();
        publish_results();
        poll_once(20);
    }
    offline_acknowledged = false;
    if (connected && !lost &&
        mosquitto_publish(mosq, &offline_mid, status_topic.c_str(),
                          static_cast<int>(std::strlen(kOffline)), kOffline, kQos,
                          true) == MOSQ_ERR_SUCCESS) {
        while (connected && !lost && !offline_acknowledged && Clock::now() < deadline) {
            poll_once(20);
        }
    }
    if (mosq != nullptr && !lost) {
        mosquitto_disconnect(mosq);
        for (int i = 0; i < 10 && mosq != nullptr && mosquitto_want_write(mosq); ++i) {
            mosquitto_loop_write(mosq, 1);
        }
    }
}

// Said once per absence of the broker, from this thread, so that the polling thread that
// drops never writes a line itself.
void MqttPublisher::Impl::tell_drops() {
    if (connected || drop_told || dropped.load() == dropped_reported) {
        return;
    }
    drop_told = true;
    log("queue full (" + std::to_string(config.queue_capacity) +
        " cycles): dropping the oldest until the broker is back");
}

void MqttPublisher::Impl::run() {
    while (!stop_requested) {
        if (mosq == nullptr) {
            const Clock::time_point now = Clock::now();
            if (now < next_attempt) {
                const auto wait_ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt - now)
                        .count();
                poll_once(static_cast<int>(std::min<long long>(wait_ms + 1, kPollMaxMs)));
                tell_drops();
                continue;
            }
            if (!open_client()) {
                close_client(lost_reason);
                continue;
            }
        }
        pump();
        publish_results();
        poll_once(kPollMaxMs);
        if (lost) {
            close_client(lost_reason);
        }
        tell_drops();
    }
    flush_and_close();
    if (mosq != nullptr) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    connected = false;
    connected_flag = false;
}

MqttPublisher::MqttPublisher(const MqttConfig& config) : impl_(std::make_unique<Impl>(config)) {
    Impl& s = *impl_;
    s.status_topic = config.prefix + "/status";
    s.snapshot_topic = config.prefix + "/snapshot";
    s.cycle_topic = config.prefix + "/cycle";
    s.write_topic = config.prefix + "/write";
    s.result_topic = config.prefix + "/write/result";
    s.ha_topic = ha_status_topic(config);
    if (config.ha_discovery) {
        s.discovery = build_ha_discovery(config);
    }
}

MqttPublisher::~MqttPublisher() {
    stop();
}

void MqttPublisher::set_remote_writes(RemoteWrites* writes) {
    impl_->writes = writes;
}

void MqttPublisher::set_log(std::function<void(const std::string&)> log) {
    impl_->log = std::move(log);
}

bool MqttPublisher::start(std::string& error) {
    if (impl_->started) {
        return true;
    }
    if (impl_->inbox->wake_fd < 0) {
        error = std::string("mqtt: cannot create an event descriptor: ") + std::strerror(errno);
        return false;
    }
    use_library();
    impl_->stop_requested = false;
    impl_->thread = std::thread([this] { impl_->run(); });
    impl_->started = true;
    return true;
}

void MqttPublisher::stop() {
    if (!impl_ || !impl_->started) {
        return;
    }
    impl_->stop_requested = true;
    impl_->inbox->wake();
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
    impl_->started = false;
}

void MqttPublisher::submit(const RoundPtr& round) {
    auto entry = std::make_shared<Entry>();
    entry->round = round;
    Inbox& box = *impl_->inbox;
    {
        const std::lock_guard<std::mutex> lock(box.mutex);
        box.queue.push_back(std::move(entry));
        while (box.queue.size() > impl_->config.queue_capacity) {
            box.queue.pop_front();
            ++impl_->dropped;
        }
        impl_->depth = box.queue.size();
    }
    box.wake();
}

MqttCounters MqttPublisher::counters() const {
    MqttCounters c;
    c.queue_depth = impl_->depth.load();
    c.dropped = impl_->dropped.load();
    c.published = impl_->published.load();
    c.connected = impl_->connected_flag.load();
    c.reconnects = impl_->reconnects.load();
    c.writes_refused = impl_->writes_refused.load();
    return c;
}

}  // namespace kv830host
