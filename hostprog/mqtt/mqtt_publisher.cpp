#include "mqtt_publisher.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "byte_size.h"
#include "ha_discovery.h"
#include "mqtt_backlog.h"
#include "mqtt_messages.h"
#include "write_command.h"

namespace kv830host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kQos = 1;
// Messages handed to the client library and not yet acknowledged: below the library's own
// in-flight limit and the receive maximum a broker grants by default (20 each), so that
// the library never queues on its own behalf.
constexpr int kInflightWindow = 18;
// Of these the backlog uses at most this many, so that a live round (its cycle and its
// snapshot) always finds room at once.
constexpr int kReplayWindow = 14;
constexpr int kLiveRoom = 2;
// While a connection is being made, its timeout is checked this often.
constexpr int kPollMaxMs = 500;
// Otherwise the thread sleeps until a round or the broker wakes it, or a deadline of its
// own is due (the next connection attempt, the replay's pace, a keepalive): at most this
// long, and at most half the keepalive, which the library's ping needs.
constexpr int kIdleMaxMs = 60000;
constexpr std::size_t kResultsMax = 64;
// How far ahead of its rate the backlog may send after a pause.
constexpr double kReplayBurstS = 0.2;
// A close without a reason (MQTT 3.1.1, or a broker that gives none): a connection the
// broker closes this soon after accepting it, this many times in a row, is taken for
// another client using our id.
constexpr double kShortSessionS = 5.0;
constexpr int kShortSessionsTakenOver = 3;
// While stopping, a failed connection attempt is made again this soon.
constexpr double kFlushRetryS = 0.25;
// "offline" at exit gets this long even when the flush used up its time.
constexpr double kOfflineGraceS = 0.5;
// What a queued entry holds beside its round: itself and its shared control block.
constexpr std::size_t kEntryOverhead = 96;
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

int ms_until(Clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(ms + 1, kIdleMaxMs)));
}

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct LibraryUse {
    LibraryUse() { mosquitto_lib_init(); }
    ~LibraryUse() { mosquitto_lib_cleanup(); }
};

void use_library() {
    static LibraryUse use;
}

// Why the last connection ended, for what is said and how long to wait.
enum class Loss {
    Unreachable,  // no connection, or it broke
    Refused,      // the broker refused the login
    TakenOver,    // another client connected with our id
    OldProtocol,  // the broker does not speak MQTT 5
};

using Entry = QueuedRound;

// What the polling side and the write path hand to the network thread. Shared, so that a
// write outcome arriving after the publisher is gone finds it still there.
struct Inbox {
    std::mutex mutex;
    // Every round of this run submitted and not yet delivered, oldest first.
    std::deque<std::shared_ptr<Entry>> queue;
    std::size_t bytes = 0;
    std::int64_t submitted_through_ms = 0;  // the newest round submitted
    std::int64_t dropped_through_ms = 0;    // the newest completed round the full queue let go
    std::deque<std::string> results;        // write result payloads to publish
    struct Message {
        std::string topic;
        std::string payload;
        bool retained;
    };
    std::deque<Message> messages;  // of other parts of the program (MqttPublisher::send)
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

struct InFlight {
    std::shared_ptr<Entry> entry;
    bool history = false;  // sent on PREFIX/history
};

}  // namespace

struct MqttPublisher::Impl {
    explicit Impl(MqttConfig c) : config(std::move(c)), inbox(std::make_shared<Inbox>()) {}

    MqttConfig config;
    std::shared_ptr<Inbox> inbox;
    RemoteWrites* writes = nullptr;
    RoundArchive* archive = nullptr;
    std::string consumer;
    std::unique_ptr<FileBacklog> file;  // with a history
    std::function<void(const std::string&)> log = [](const std::string& line) {
        std::cerr << "kv830-host: mqtt: " << line << std::endl;
    };

    std::thread thread;
    std::atomic<std::size_t> depth{0};
    std::atomic<std::size_t> bytes_held{0};
    std::atomic<unsigned long long> dropped{0};
    std::atomic<unsigned long long> published{0};
    std::atomic<unsigned long long> replayed{0};
    std::atomic<unsigned long long> not_delivered{0};
    std::atomic<unsigned long long> takeovers{0};
    std::atomic<unsigned long long> reconnects{0};
    std::atomic<unsigned long long> writes_refused{0};
    std::atomic<std::int64_t> delivered_through{0};
    std::atomic<bool> backlog_on_file{false};
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> connected_flag{false};
    std::atomic<bool> taken_over_flag{false};
    std::atomic<bool> short_of_this_run{false};
    mutable std::mutex note_mutex;
    std::string note_text;
    bool started = false;

    // Network thread only, from here on.
    mosquitto* mosq = nullptr;
    int protocol = MQTT_PROTOCOL_V5;
    Loss loss = Loss::Unreachable;
    std::string lost_reason;
    std::string told_reason;  // the last reason said for an absence, not said again
    unsigned long long generation = 0;
    unsigned long long attempts = 0;
    double backoff_s = 0.0;
    double takeover_backoff_s = 0.0;
    int short_sessions = 0;
    Clock::time_point next_attempt{};
    Clock::time_point attempt_started{};
    Clock::time_point connected_at{};
    std::map<int, InFlight> inflight;  // mid -> what it carries
    int history_inflight = 0;
    std::set<int> control_mids;               // "online" and the discovery, waited for at exit
    unsigned long long dropped_reported = 0;  // drops already told in a "connected" line
    std::string status_topic, snapshot_topic, cycle_topic, history_topic, write_topic, result_topic;
    std::string ha_topic;
    std::vector<std::pair<std::string, CommandHandler>> commands;  // full topic, handler
    DiscoveryMessage discovery;
    std::string message;  // the history message being sent, reused
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
    bool drop_told = false;     // "queue full" said during this absence
    bool refusal_told = false;  // a refused message said on this connection
    bool flushing = false;

    std::int64_t run_start_ms = 0;
    double tokens = 0.0;
    Clock::time_point tokens_at{};

    void run();
    bool open_client();
    void close_client();
    void poll_once(int timeout_ms);
    void pump();
    void send_live(const std::shared_ptr<Entry>& entry);
    void send_history(const std::shared_ptr<Entry>& entry);
    bool publish(const std::string& topic, const void* data, std::size_t size, bool retain,
                 int* mid);
    void publish_results();
    void send_deferred();
    void handle_write(const std::string& payload, bool retained);
    void acknowledged(int mid, int reason_code);
    void forget(const std::shared_ptr<Entry>& entry);
    void publish_discovery();
    bool file_complete() const { return !file || file->complete(); }
    void follow_file();
    void advance_mark();
    bool flushed() const;
    void flush_and_close();
    void tell_drops();
    void set_note(const std::string& text);
    int wait_ms() const;

    static void on_connect(mosquitto*, void* self, int rc, int flags, const mosquitto_property*);
    static void on_disconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
    static void on_publish(mosquitto*, void* self, int mid, int reason_code,
                           const mosquitto_property*);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);
};

void MqttPublisher::Impl::set_note(const std::string& text) {
    const std::lock_guard<std::mutex> lock(note_mutex);
    note_text = text;
}

void MqttPublisher::Impl::on_connect(mosquitto*, void* self, int rc, int,
                                     const mosquitto_property*) {
    auto* impl = static_cast<Impl*>(self);
    if (rc != 0) {
        impl->lost = true;
        if (impl->protocol == MQTT_PROTOCOL_V5 && (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
                                                   rc == CONNACK_REFUSED_PROTOCOL_VERSION)) {
            impl->loss = Loss::OldProtocol;
            impl->lost_reason = "the broker does not speak MQTT 5";
            return;
        }
        impl->loss = Loss::Refused;
        impl->lost_reason = impl->protocol == MQTT_PROTOCOL_V5 ? mosquitto_reason_string(rc)
                                                               : mosquitto_connack_string(rc);
        return;
    }
    impl->connected = true;
    impl->connected_flag = true;
    impl->connected_at = Clock::now();
    impl->backoff_s = 0.0;
    ++impl->generation;
    impl->announce_due = true;
    impl->refusal_told = false;
    impl->told_reason.clear();
    if (!impl->taken_over_flag) {
        impl->set_note("");
    }
    std::size_t waiting = 0;
    {
        // The newest round waiting is the plant's state now: it goes out as the live one,
        // the rest to PREFIX/history.
        const std::lock_guard<std::mutex> lock(impl->inbox->mutex);
        if (!impl->inbox->queue.empty()) {
            impl->inbox->queue.back()->live = true;
        }
        waiting = impl->inbox->queue.size();
    }
    const unsigned long long dropped_now = impl->dropped.load();
    if (impl->attempts > 1 || dropped_now != impl->dropped_reported) {
        std::string line = "connected to " + impl->config.broker.host + ":" +
                           std::to_string(impl->config.broker.port) + " as " +
                           impl->config.client_id + "; " + std::to_string(waiting) +
                           " cycles queued";
        if (dropped_now != impl->dropped_reported) {
            line += ", " + std::to_string(dropped_now - impl->dropped_reported) +
                    (impl->archive != nullptr ? " left the full queue (sent from the history)"
                                              : " dropped while away");
        }
        impl->log(line);
        impl->dropped_reported = dropped_now;
    }
    impl->drop_told = false;
}

void MqttPublisher::Impl::on_disconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* impl = static_cast<Impl*>(self);
    impl->lost = true;
    if (rc == MQTT_RC_SESSION_TAKEN_OVER) {
        impl->loss = Loss::TakenOver;
        impl->lost_reason = "the broker gave it our session, reason 0x8E";
        return;
    }
    if (impl->lost_reason.empty()) {
        impl->lost_reason =
            rc == 0 ? "disconnected"
                    : std::string("connection lost: ") +
                          (rc >= 0x80 ? mosquitto_reason_string(rc) : mosquitto_strerror(rc));
    }
}

void MqttPublisher::Impl::on_publish(mosquitto*, void* self, int mid, int reason_code,
                                     const mosquitto_property*) {
    static_cast<Impl*>(self)->acknowledged(mid, reason_code);
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
    } else if (impl->config.writes) {
        for (const auto& [command_topic, handler] : impl->commands) {
            if (topic == command_topic) {
                std::string result = handler(payload, message->retain);
                const std::lock_guard<std::mutex> lock(impl->inbox->mutex);
                impl->inbox->messages.push_back({topic + "/result", std::move(result), false});
                if (impl->inbox->messages.size() > kMessagesMax) {
                    impl->inbox->messages.pop_front();
                }
            }
        }
    }
}

// A round the broker has taken leaves the queue at once, wherever it is in it, so that
// live rounds acknowledged behind a waiting backlog free their memory.
void MqttPublisher::Impl::forget(const std::shared_ptr<Entry>& entry) {
    const std::lock_guard<std::mutex> lock(inbox->mutex);
    auto& queue = inbox->queue;
    auto it = queue.end();
    if (entry->live) {
        const auto r = std::find(queue.rbegin(), queue.rend(), entry);
        if (r != queue.rend()) {
            it = std::next(r).base();
        }
    } else {
        it = std::find(queue.begin(), queue.end(), entry);
    }
    if (it != queue.end()) {
        inbox->bytes -= (*it)->bytes;
        queue.erase(it);
    }
    depth = queue.size();
    bytes_held = inbox->bytes;
}

void MqttPublisher::Impl::acknowledged(int mid, int reason_code) {
    if (mid == offline_mid) {
        offline_acknowledged = true;
        return;
    }
    if (control_mids.erase(mid) != 0) {
        return;
    }
    const auto it = inflight.find(mid);
    if (it == inflight.end()) {
        return;
    }
    const InFlight sent = it->second;
    inflight.erase(it);
    if (sent.history) {
        --history_inflight;
    }
    if (reason_code >= MQTT_RC_UNSPECIFIED && !refusal_told) {
        // The broker will not take it (a rule of its own, a size): sending it again would
        // meet the same answer, so it counts as handed over, and is said.
        refusal_told = true;
        log("the broker refused a message (" + std::string(mosquitto_reason_string(reason_code)) +
            "); it is not sent again");
    }
    const std::shared_ptr<Entry>& entry = sent.entry;
    if (--entry->unacknowledged > 0) {
        return;
    }
    entry->acknowledged = true;
    ++published;
    if (sent.history) {
        ++replayed;
    }
    if (entry->from_file()) {
        file->acknowledged();
    } else {
        forget(entry);
    }
    advance_mark();
}

// How far delivery has got: through the file's rounds while they are sent, then up to the
// oldest round the queue still holds.
void MqttPublisher::Impl::advance_mark() {
    if (!file) {
        return;
    }
    std::int64_t memory = 0;
    {
        const std::lock_guard<std::mutex> lock(inbox->mutex);
        memory =
            inbox->queue.empty() ? inbox->submitted_through_ms : inbox->queue.front()->unix_ms - 1;
    }
    // At exit the mark is saved once, after the flush: the history has stopped committing
    // by then and would write each mark on its own.
    delivered_through = file->advance(memory, flushing);
}

// The rounds the full queue let go come back from the history while the broker has the
// connection.
void MqttPublisher::Impl::follow_file() {
    if (!file) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(inbox->mutex);
        file->extend(inbox->dropped_through_ms);
    }
    file->follow(connected && !flushing);
    advance_mark();
    backlog_on_file = !file->complete();
}

void MqttPublisher::Impl::publish_discovery() {
    int mid = 0;
    if (publish(discovery.topic, discovery.payload.data(), discovery.payload.size(), true, &mid)) {
        control_mids.insert(mid);
    }
}

bool MqttPublisher::Impl::publish(const std::string& topic, const void* data, std::size_t size,
                                  bool retain, int* mid) {
    return mosquitto_publish(mosq, mid, topic.c_str(), static_cast<int>(size), data, kQos,
                             retain) == MOSQ_ERR_SUCCESS;
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
    loss = Loss::Unreachable;
    lost_reason.clear();
    // A fresh client per attempt: nothing of a failed connection (its half-sent packets,
    // its TLS state) carries over, and our own queue decides what is sent again.
    mosq = mosquitto_new(config.client_id.c_str(), true, this);
    if (mosq == nullptr) {
        lost_reason = "cannot create the MQTT client";
        return false;
    }
    int rc = mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, protocol);
    mosquitto_connect_v5_callback_set(mosq, &Impl::on_connect);
    mosquitto_disconnect_v5_callback_set(mosq, &Impl::on_disconnect);
    mosquitto_publish_v5_callback_set(mosq, &Impl::on_publish);
    mosquitto_message_callback_set(mosq, &Impl::on_message);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_will_set(mosq, status_topic.c_str(), static_cast<int>(std::strlen(kOffline)),
                                kOffline, kQos, true);
    }
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

void MqttPublisher::Impl::close_client() {
    if (mosq != nullptr) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    const Clock::time_point now = Clock::now();
    const std::string broker = config.broker.host + ":" + std::to_string(config.broker.port);
    const bool was_connected = connected;
    // MQTT 3.1.1 says nothing of why the broker closed, nor does a broker of MQTT 5 that
    // closes without a reason (mosquitto 2.0.11 does so on a take-over): several sessions
    // in a row that end within seconds of being accepted are taken for a take-over.
    if (was_connected && loss == Loss::Unreachable) {
        short_sessions =
            seconds_between(connected_at, now) < kShortSessionS ? short_sessions + 1 : 0;
        if (short_sessions >= kShortSessionsTakenOver) {
            loss = Loss::TakenOver;
            lost_reason = "the broker closed " + std::to_string(short_sessions) +
                          " sessions in a row within " +
                          std::to_string(static_cast<int>(kShortSessionS)) + " s of accepting them";
            short_sessions = 0;
        }
    }
    double delay = 0.0;
    switch (loss) {
        case Loss::TakenOver:
            ++takeovers;
            taken_over_flag = true;
            takeover_backoff_s = takeover_backoff_s <= 0.0 ? config.takeover_backoff_min_s
                                                           : std::min(config.takeover_backoff_max_s,
                                                                      takeover_backoff_s * 2.0);
            delay = takeover_backoff_s;
            set_note("mqtt: another client uses client id " + config.client_id);
            log("another client uses client id " + config.client_id + " (" + lost_reason +
                "); not taking the session back for " + std::to_string(static_cast<int>(delay)) +
                " s, cycles are queued");
            break;
        case Loss::OldProtocol:
            protocol = MQTT_PROTOCOL_V311;
            log("broker " + broker +
                " speaks MQTT 3.1.1 only: a session another client takes "
                "over is recognised by " +
                std::to_string(kShortSessionsTakenOver) + " closes within " +
                std::to_string(static_cast<int>(kShortSessionS)) + " s of connecting");
            break;
        case Loss::Refused:
            backoff_s = backoff_s <= 0.0 ? config.backoff_min_s
                                         : std::min(config.backoff_max_s, backoff_s * 2.0);
            delay = backoff_s;
            set_note("mqtt: the broker refused the login (" + lost_reason + ")");
            if (told_reason != lost_reason) {
                log("broker " + broker + " refused the login as " + config.client_id + " (" +
                    lost_reason + "); retrying, cycles are queued");
            }
            told_reason = lost_reason;
            break;
        case Loss::Unreachable:
            backoff_s = backoff_s <= 0.0 ? config.backoff_min_s
                                         : std::min(config.backoff_max_s, backoff_s * 2.0);
            delay = backoff_s;
            if (was_connected || attempts == 1) {
                log("broker " + broker + " not reachable (" + lost_reason +
                    "); retrying, cycles are queued");
            }
            if (!taken_over_flag) {
                set_note("");
            }
            break;
    }
    connected = false;
    connected_flag = false;
    inflight.clear();
    history_inflight = 0;
    control_mids.clear();
    announce_due = false;
    discovery_due = false;
    {
        // Everything not acknowledged goes out again on the next connection, as backlog:
        // only the newest waiting round is live then.
        const std::lock_guard<std::mutex> lock(inbox->mutex);
        for (const auto& entry : inbox->queue) {
            entry->sent_in = 0;
            entry->live = false;
        }
    }
    if (file) {
        file->resend();
    }
    next_attempt = now + seconds(delay);
}

void MqttPublisher::Impl::send_live(const std::shared_ptr<Entry>& entry) {
    const std::string cycle = format_cycle_json(*entry->round);
    entry->sent_in = generation;
    entry->unacknowledged = 0;
    int mid = 0;
    if (publish(cycle_topic, cycle.data(), cycle.size(), false, &mid)) {
        inflight[mid] = InFlight{entry, false};
        ++entry->unacknowledged;
    }
    const std::string& snapshot = entry->round->snapshot;
    if (entry->round->completed && !snapshot.empty() &&
        publish(snapshot_topic, snapshot.data(), snapshot.size(), config.retain, &mid)) {
        inflight[mid] = InFlight{entry, false};
        ++entry->unacknowledged;
    }
    if (entry->unacknowledged == 0) {
        // The library refused both (connection going down): sent again next time.
        entry->sent_in = 0;
    }
}

void MqttPublisher::Impl::send_history(const std::shared_ptr<Entry>& entry) {
    if (entry->from_file()) {
        format_history_json(config.data_id, 0, entry->unix_ms, entry->stored.snapshot, message);
    } else {
        format_history_json(config.data_id, entry->round->number, entry->unix_ms,
                            entry->round->snapshot, message);
    }
    entry->sent_in = generation;
    entry->unacknowledged = 0;
    int mid = 0;
    if (publish(history_topic, message.data(), message.size(), false, &mid)) {
        inflight[mid] = InFlight{entry, true};
        ++history_inflight;
        entry->unacknowledged = 1;
    } else {
        entry->sent_in = 0;
    }
}

// Live rounds first, as many as the window takes; then the backlog, within its own part
// of the window and its rate: the history's rounds, oldest first, then the queue's.
void MqttPublisher::Impl::pump() {
    if (!connected || lost) {
        return;
    }
    const Clock::time_point now = Clock::now();
    const double rate = static_cast<double>(config.replay_rate);
    tokens = std::min(std::max(1.0, rate * kReplayBurstS),
                      tokens + rate * seconds_between(tokens_at, now));
    tokens_at = now;
    std::vector<std::shared_ptr<Entry>> live;
    std::vector<std::shared_ptr<Entry>> backlog;
    std::vector<std::shared_ptr<Entry>> skipped;
    int room = kInflightWindow - static_cast<int>(inflight.size());
    const bool memory_backlog_due = file_complete();
    {
        const std::lock_guard<std::mutex> lock(inbox->mutex);
        for (const auto& entry : inbox->queue) {
            if (entry->live && entry->sent_in != generation && room >= 2) {
                live.push_back(entry);
                room -= 2;
            }
        }
        int backlog_room = std::min(kReplayWindow - history_inflight, room - kLiveRoom);
        for (const auto& entry : inbox->queue) {
            if (!memory_backlog_due || backlog_room <= 0 || (!flushing && tokens < 1.0)) {
                break;
            }
            if (entry->live || entry->sent_in == generation) {
                continue;
            }
            if (!entry->round->completed) {
                // A failed round has no snapshot to send later; its counters are in the
                // metrics.
                skipped.push_back(entry);
                continue;
            }
            backlog.push_back(entry);
            --backlog_room;
            if (!flushing) {
                tokens -= 1.0;
            }
        }
        room -= static_cast<int>(backlog.size());
    }
    for (const auto& entry : live) {
        send_live(entry);
    }
    for (const auto& entry : backlog) {
        send_history(entry);
    }
    for (const auto& entry : skipped) {
        forget(entry);
    }
    if (!skipped.empty()) {
        advance_mark();
    }
    // The history's rounds stay there at exit: the next start sends them.
    int file_room = std::min(kReplayWindow - history_inflight, room - kLiveRoom);
    while (file && !flushing && file_room > 0 && tokens >= 1.0) {
        const std::shared_ptr<Entry> entry = file->take_next();
        if (!entry) {
            break;
        }
        send_history(entry);
        file->sent(entry);
        --file_room;
        tokens -= 1.0;
    }
}

void MqttPublisher::Impl::publish_results() {
    if (!connected) {
        return;
    }
    std::deque<std::string> results;
    std::deque<Inbox::Message> messages;
    {
        const std::lock_guard<std::mutex> lock(inbox->mutex);
        results.swap(inbox->results);
        messages.swap(inbox->messages);
    }
    for (const std::string& result : results) {
        publish(result_topic, result.data(), result.size(), false, nullptr);
    }
    for (const Inbox::Message& m : messages) {
        publish(m.topic, m.payload.data(), m.payload.size(), m.retained, nullptr);
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
        int mid = 0;
        if (publish(status_topic, kOnline, std::strlen(kOnline), true, &mid)) {
            control_mids.insert(mid);
        }
        if (config.writes) {
            mosquitto_subscribe(mosq, nullptr, write_topic.c_str(), kQos);
            for (const auto& command : commands) {
                mosquitto_subscribe(mosq, nullptr, command.first.c_str(), kQos);
            }
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
        // A broker of MQTT 3.1.1 answers a CONNECT of MQTT 5 with a reply the library
        // cannot read.
        if (!connected && protocol == MQTT_PROTOCOL_V5 &&
            (rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_MALFORMED_PACKET)) {
            loss = Loss::OldProtocol;
        }
    }
    if (!connected && !lost &&
        seconds_between(attempt_started, Clock::now()) > config.connect_timeout_s) {
        lost = true;
        lost_reason = "no answer from the broker";
    }
}

// How long the loop may sleep: until the backlog's next token when the rate holds it back.
int MqttPublisher::Impl::wait_ms() const {
    if (!connected) {
        return kPollMaxMs;
    }
    const int idle = std::max(kPollMaxMs, std::min(kIdleMaxMs, config.keepalive_s * 1000 / 2));
    if (tokens >= 1.0 || config.replay_rate == 0) {
        return idle;
    }
    bool backlog = file && file->has_pending();
    if (!backlog) {
        const std::lock_guard<std::mutex> lock(inbox->mutex);
        backlog = inbox->queue.size() > 1;
    }
    if (!backlog) {
        return idle;
    }
    const double ms = (1.0 - tokens) * 1000.0 / static_cast<double>(config.replay_rate);
    return std::max(1, std::min(idle, static_cast<int>(std::ceil(ms))));
}

// Whether what the exit waits for is in: every round of the queue that is to go, and the
// announcements.
bool MqttPublisher::Impl::flushed() const {
    if (!control_mids.empty()) {
        return false;
    }
    const bool backlog_goes = file_complete();
    const std::lock_guard<std::mutex> lock(inbox->mutex);
    for (const auto& entry : inbox->queue) {
        if (entry->live || (backlog_goes && entry->round->completed)) {
            return false;
        }
    }
    return true;
}

void MqttPublisher::Impl::flush_and_close() {
    flushing = true;
    const Clock::time_point deadline = Clock::now() + seconds(config.flush_timeout_s);
    bool tried = false;
    while (Clock::now() < deadline) {
        if (mosq == nullptr) {
            // Another client has the session: taking it back only to say goodbye would
            // fire its last will.
            if (taken_over_flag) {
                break;
            }
            if (!tried || Clock::now() >= next_attempt) {
                tried = true;
                if (!open_client()) {
                    close_client();
                    next_attempt = std::min(next_attempt, Clock::now() + seconds(kFlushRetryS));
                }
                continue;
            }
            poll_once(std::min(ms_until(next_attempt), ms_until(deadline)));
            continue;
        }
        if (connected && !lost && flushed()) {
            break;
        }
        pump();
        publish_results();
        poll_once(std::min(20, ms_until(deadline)));
        if (lost) {
            close_client();
            next_attempt = std::min(next_attempt, Clock::now() + seconds(kFlushRetryS));
        }
    }
    // The clean exit's "offline" (the broker drops the will on a clean disconnect).
    const Clock::time_point offline_deadline =
        std::max(deadline, Clock::now() + seconds(kOfflineGraceS));
    offline_acknowledged = false;
    if (mosq != nullptr && connected && !lost &&
        publish(status_topic, kOffline, std::strlen(kOffline), true, &offline_mid)) {
        while (connected && !lost && !offline_acknowledged && Clock::now() < offline_deadline) {
            poll_once(std::min(20, ms_until(offline_deadline)));
        }
    }
    if (mosq != nullptr && !lost) {
        mosquitto_disconnect(mosq);
        for (int i = 0; i < 10 && mosq != nullptr && mosquitto_want_write(mosq); ++i) {
            mosquitto_loop_write(mosq, 1);
        }
    }
    unsigned long long left = 0;
    {
        const std::lock_guard<std::mutex> lock(inbox->mutex);
        for (const auto& entry : inbox->queue) {
            if (entry->live || entry->round->completed) {
                ++left;
            }
        }
    }
    not_delivered = left;
    flushing = false;
    // Rounds of this run still in the history to be sent, or lost without one.
    bool short_of_file = dropped.load() > 0;
    if (file) {
        {
            const std::lock_guard<std::mutex> lock(inbox->mutex);
            file->extend(inbox->dropped_through_ms);
        }
        advance_mark();
        file->save();
        backlog_on_file = !file->complete();
        short_of_file = short_of_file && file->holds_this_run();
    }
    short_of_this_run = left > 0 || short_of_file;
}

// Said once per absence of the broker, from this thread, so that the polling thread that
// drops never writes a line itself.
void MqttPublisher::Impl::tell_drops() {
    if (connected || drop_told || dropped.load() == dropped_reported) {
        return;
    }
    drop_told = true;
    log("queue full (" + std::to_string(depth.load()) + " cycles, " +
        format_byte_size(static_cast<double>(bytes_held.load())) + "): " +
        (archive != nullptr ? "the oldest leave it, to be sent from the history once the broker "
                              "is back"
                            : "dropping the oldest until the broker is back"));
}

void MqttPublisher::Impl::run() {
    while (!stop_requested) {
        if (mosq == nullptr) {
            const Clock::time_point now = Clock::now();
            if (now < next_attempt) {
                poll_once(ms_until(next_attempt));
                tell_drops();
                continue;
            }
            if (!open_client()) {
                close_client();
                continue;
            }
        }
        follow_file();
        pump();
        publish_results();
        poll_once(wait_ms());
        if (connected && !lost &&
            seconds_between(connected_at, Clock::now()) >= config.session_steady_s) {
            takeover_backoff_s = 0.0;
            short_sessions = 0;
            if (taken_over_flag.exchange(false)) {
                set_note("");
            }
        }
        if (lost) {
            close_client();
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
    s.history_topic = config.prefix + "/history";
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

void MqttPublisher::send(const std::string& suffix, std::string payload, bool retained) {
    {
        const std::lock_guard<std::mutex> lock(impl_->inbox->mutex);
        impl_->inbox->messages.push_back(
            {impl_->config.prefix + "/" + suffix, std::move(payload), retained});
        if (impl_->inbox->messages.size() > kMessagesMax) {
            impl_->inbox->messages.pop_front();
        }
    }
    impl_->inbox->wake();
}

void MqttPublisher::add_command(const std::string& suffix, CommandHandler handler) {
    impl_->commands.emplace_back(impl_->config.prefix + "/" + suffix, std::move(handler));
}

void MqttPublisher::set_log(std::function<void(const std::string&)> log) {
    impl_->log = std::move(log);
}

void MqttPublisher::set_archive(RoundArchive* archive, const std::string& consumer) {
    impl_->archive = archive;
    impl_->consumer = consumer;
}

bool MqttPublisher::start(std::string& error) {
    Impl& s = *impl_;
    if (s.started) {
        return true;
    }
    if (s.inbox->wake_fd < 0) {
        error = std::string("cannot create an event descriptor: ") + std::strerror(errno);
        return false;
    }
    s.run_start_ms = wall_ms();
    if (s.archive != nullptr) {
        std::weak_ptr<Inbox> weak = s.inbox;
        s.file = std::make_unique<FileBacklog>(
            *s.archive, s.consumer, s.config.data_id,
            [weak] {
                if (const std::shared_ptr<Inbox> box = weak.lock()) {
                    box->wake();
                }
            },
            s.log);
        if (!s.file->open(s.run_start_ms, error)) {
            s.file.reset();
            return false;
        }
        s.delivered_through = s.file->mark();
    }
    use_library();
    s.stop_requested = false;
    s.tokens_at = Clock::now();
    s.thread = std::thread([this] { impl_->run(); });
    s.started = true;
    return true;
}

void MqttPublisher::ask_stop() {
    if (!impl_ || !impl_->started) {
        return;
    }
    impl_->stop_requested = true;
    impl_->inbox->wake();
}

void MqttPublisher::stop() {
    if (!impl_ || !impl_->started) {
        return;
    }
    ask_stop();
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
    if (impl_->file) {
        impl_->file->stop();
    }
    impl_->started = false;
}

void MqttPublisher::submit(const RoundPtr& round) {
    if (!round || round->from_history) {
        return;
    }
    auto entry = std::make_shared<Entry>();
    entry->round = round;
    entry->unix_ms = round->end_unix_ms;
    entry->bytes = round_bytes(*round) + sizeof(Entry) + kEntryOverhead;
    Impl& s = *impl_;
    Inbox& box = *s.inbox;
    {
        const std::lock_guard<std::mutex> lock(box.mutex);
        entry->live = s.connected_flag.load();
        box.bytes += entry->bytes;
        box.submitted_through_ms = std::max(box.submitted_through_ms, entry->unix_ms);
        box.queue.push_back(std::move(entry));
        while (box.queue.size() > 1 &&
               (box.queue.size() > s.config.queue_rounds || box.bytes > s.config.queue_bytes)) {
            const std::shared_ptr<Entry>& oldest = box.queue.front();
            box.bytes -= oldest->bytes;
            // Only what the history keeps comes back from it.
            if (oldest->round->completed && oldest->round->store) {
                box.dropped_through_ms = std::max(box.dropped_through_ms, oldest->unix_ms);
            }
            box.queue.pop_front();
            ++s.dropped;
        }
        s.depth = box.queue.size();
        s.bytes_held = box.bytes;
    }
    box.wake();
}

MqttCounters MqttPublisher::counters() const {
    const Impl& s = *impl_;
    MqttCounters c;
    c.queue_depth = s.depth.load();
    c.queue_bytes = s.bytes_held.load();
    c.dropped = s.dropped.load();
    c.published = s.published.load();
    c.replayed = s.replayed.load();
    c.not_delivered = s.not_delivered.load();
    c.takeovers = s.takeovers.load();
    c.connected = s.connected_flag.load();
    c.taken_over = s.taken_over_flag.load();
    c.reconnects = s.reconnects.load();
    c.writes_refused = s.writes_refused.load();
    c.delivered_through_ms = s.delivered_through.load();
    c.backlog_on_file = s.backlog_on_file.load();
    return c;
}

std::string MqttPublisher::note() const {
    const std::lock_guard<std::mutex> lock(impl_->note_mutex);
    return impl_->note_text;
}

bool MqttPublisher::delivered_all() const {
    return !impl_->short_of_this_run.load();
}

}  // namespace kv830host
