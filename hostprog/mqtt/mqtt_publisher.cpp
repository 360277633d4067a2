#include "mqtt_publisher.h"

#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "byte_size.h"
#include "ha_discovery.h"
#include "mqtt_backlog.h"
#include "mqtt_clock.h"
#include "mqtt_commands.h"
#include "mqtt_inbox.h"
#include "mqtt_messages.h"
#include "mqtt_pace.h"
#include "mqtt_session.h"

namespace kv830host {

namespace {

using mqtt_time::Clock;
using mqtt_time::kIdleMaxMs;
using mqtt_time::ms_until;
using mqtt_time::seconds;

// Messages handed to the client library and not yet acknowledged: below the library's own
// in-flight limit and the receive maximum a broker grants by default (20 each), so that
// the library never queues on its own behalf.
constexpr int kInflightWindow = 18;
// Of these the backlog uses at most this many, so that a live round (its cycle and its
// snapshot) always finds room at once.
constexpr int kReplayWindow = 14;
constexpr int kLiveRoom = 2;
// While a connection is being made, its timeout is checked this often. Once connected
// the thread sleeps longer, at most half the keepalive, which the library's ping needs.
constexpr int kPollMaxMs = 500;
// Write results waiting to be sent; past it a result is not sent.
constexpr std::size_t kResultsMax = 64;
// While stopping, a failed connection attempt is made again this soon, and the broker is
// polled this often.
constexpr double kFlushRetryS = 0.25;
constexpr int kFlushPollMs = 20;
// "offline" at exit gets this long even when the flush used up its time.
constexpr double kOfflineGraceS = 0.5;
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct InFlight {
    std::shared_ptr<QueuedRound> entry;
    bool history = false;  // sent on PREFIX/history
};

MqttInbox::Bounds inbox_bounds(const MqttConfig& config) {
    MqttInbox::Bounds bounds;
    bounds.rounds = config.queue_rounds;
    bounds.bytes = config.queue_bytes;
    bounds.results = kResultsMax;
    bounds.messages = MqttPublisher::kMessagesMax;
    return bounds;
}

}  // namespace

struct MqttPublisher::Impl final : MqttSessionEvents {
    using Entry = QueuedRound;

    explicit Impl(MqttConfig c)
        : config(std::move(c)),
          status_topic(config.prefix + "/status"),
          inbox(std::make_shared<MqttInbox>(inbox_bounds(config))),
          commands(config, inbox),
          session(config, status_topic, kOffline, inbox->wake_fd(), *this, log),
          pace(config.replay_rate) {}

    const MqttConfig config;
    const std::string status_topic;
    std::function<void(const std::string&)> log = [](const std::string& line) {
        std::cerr << "kv830-host: mqtt: " << line << std::endl;
    };
    std::shared_ptr<MqttInbox> inbox;
    MqttCommands commands;  // set up before start, then on the network thread
    // Its counters and note are read from any thread, the rest on the network thread.
    MqttSession session;
    RoundArchive* archive = nullptr;
    std::string consumer;
    std::unique_ptr<FileBacklog> file;  // with a history

    std::thread thread;
    std::atomic<unsigned long long> published{0};
    std::atomic<unsigned long long> replayed{0};
    std::atomic<unsigned long long> not_delivered{0};
    std::atomic<std::int64_t> delivered_through{0};
    std::atomic<bool> backlog_on_file{false};
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> short_of_this_run{false};
    bool started = false;

    // Network thread only, from here on.
    std::map<int, InFlight> inflight;  // mid -> what it carries
    int history_inflight = 0;
    std::set<int> control_mids;               // "online" and the discovery, waited for at exit
    unsigned long long dropped_reported = 0;  // drops already told in a "connected" line
    std::string snapshot_topic, cycle_topic, history_topic;
    std::string ha_topic;
    DiscoveryMessage discovery;
    std::string history_json;  // the history message being sent, reused
    // What the session's callbacks ask to send, sent once it is ready.
    int offline_mid = -1;
    bool announce_due = false;
    bool discovery_due = false;
    bool offline_acknowledged = false;
    bool drop_told = false;     // "queue full" said during this absence
    bool refusal_told = false;  // a refused message said on this connection
    bool flushing = false;

    std::int64_t run_start_ms = 0;
    ReplayPace pace;

    // What the session tells.
    void connected() override;
    void acknowledged(int mid, int reason_code) override;
    void message(const std::string& topic, const std::string& payload, bool retained) override;
    void woken() override { inbox->drain(); }
    void ready() override;
    void closed() override;

    void run();
    void pump();
    void send_backlog_from_file(int room);
    void send_live(const std::shared_ptr<Entry>& entry);
    void send_history(const std::shared_ptr<Entry>& entry);
    void publish_results();
    void announce();
    void publish_discovery();
    bool file_complete() const { return !file || file->complete(); }
    void follow_file();
    void advance_mark();
    bool flushed() const;
    void flush_and_close();
    void flush(Clock::time_point deadline);
    void say_offline(Clock::time_point deadline);
    void count_left();
    void tell_drops();
    int wait_ms() const;
};

void MqttPublisher::Impl::connected() {
    announce_due = true;
    refusal_told = false;
    const std::size_t waiting = inbox->mark_newest_live();
    const unsigned long long dropped_now = inbox->dropped();
    if (session.attempts() > 1 || dropped_now != dropped_reported) {
        std::string line = "connected to " + config.broker.host + ":" +
                           std::to_string(config.broker.port) + " as " + config.client_id + "; " +
                           std::to_string(waiting) + " cycles queued";
        if (dropped_now != dropped_reported) {
            line += ", " + std::to_string(dropped_now - dropped_reported) +
                    (archive != nullptr ? " left the full queue (sent from the history)"
                                        : " dropped while away");
        }
        log(line);
        dropped_reported = dropped_now;
    }
    drop_told = false;
}

void MqttPublisher::Impl::message(const std::string& topic, const std::string& payload,
                                  bool retained) {
    if (commands.take(topic, payload, retained)) {
        return;
    }
    if (config.ha_discovery && topic == ha_topic && payload == kOnline) {
        discovery_due = true;
    }
}

// Everything not acknowledged goes out again on the next connection, as backlog.
void MqttPublisher::Impl::closed() {
    inflight.clear();
    history_inflight = 0;
    control_mids.clear();
    announce_due = false;
    discovery_due = false;
    inbox->mark_for_resend();
    if (file) {
        file->resend();
    }
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
        log("the broker refused a message (" + MqttSession::reason_text(reason_code) +
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
        inbox->forget(entry);
    }
    advance_mark();
}

// How far delivery has got: through the file's rounds while they are sent, then up to the
// oldest round the queue still holds.
void MqttPublisher::Impl::advance_mark() {
    if (!file) {
        return;
    }
    // At exit the mark is saved once, after the flush: the history has stopped committing
    // by then and would write each mark on its own.
    delivered_through = file->advance(inbox->delivered_before(), flushing);
}

// The rounds the full queue let go come back from the history while the broker has the
// connection.
void MqttPublisher::Impl::follow_file() {
    if (!file) {
        return;
    }
    file->extend(inbox->dropped_through());
    file->follow(session.connected() && !flushing);
    advance_mark();
    backlog_on_file = !file->complete();
}

void MqttPublisher::Impl::publish_discovery() {
    int mid = 0;
    if (session.publish(discovery.topic, discovery.payload.data(), discovery.payload.size(), true,
                        &mid)) {
        control_mids.insert(mid);
    }
}

void MqttPublisher::Impl::send_live(const std::shared_ptr<Entry>& entry) {
    const std::string cycle = format_cycle_json(*entry->round);
    entry->sent_in = session.generation();
    entry->unacknowledged = 0;
    int mid = 0;
    if (session.publish(cycle_topic, cycle.data(), cycle.size(), false, &mid)) {
        inflight[mid] = InFlight{entry, false};
        ++entry->unacknowledged;
    }
    const std::string& snapshot = entry->round->snapshot;
    if (entry->round->completed && !snapshot.empty() &&
        session.publish(snapshot_topic, snapshot.data(), snapshot.size(), config.retain, &mid)) {
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
        format_history_json(config.data_id, 0, entry->unix_ms, entry->stored.snapshot,
                            history_json);
    } else {
        format_history_json(config.data_id, entry->round->number, entry->unix_ms,
                            entry->round->snapshot, history_json);
    }
    entry->sent_in = session.generation();
    entry->unacknowledged = 0;
    int mid = 0;
    if (session.publish(history_topic, history_json.data(), history_json.size(), false, &mid)) {
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
    if (!session.up()) {
        return;
    }
    pace.refill(Clock::now());
    MqttInbox::Limits limits;
    limits.generation = session.generation();
    limits.room = kInflightWindow - static_cast<int>(inflight.size());
    limits.keep_free = kLiveRoom;
    limits.backlog_room = kReplayWindow - history_inflight;
    limits.paced = flushing ? kReplayWindow : pace.available(kReplayWindow);
    limits.backlog_due = file_complete();
    const MqttInbox::Chosen chosen = inbox->choose(limits);
    if (!flushing) {
        pace.take(chosen.backlog.size());
    }
    for (const auto& entry : chosen.live) {
        send_live(entry);
    }
    for (const auto& entry : chosen.backlog) {
        send_history(entry);
    }
    for (const auto& entry : chosen.failed) {
        inbox->forget(entry);
    }
    if (!chosen.failed.empty()) {
        advance_mark();
    }
    send_backlog_from_file(chosen.room);
}

// The history's rounds stay there at exit: the next start sends them.
void MqttPublisher::Impl::send_backlog_from_file(int room) {
    int file_room = std::min(kReplayWindow - history_inflight, room - kLiveRoom);
    while (file && !flushing && file_room > 0 && pace.ready()) {
        const std::shared_ptr<Entry> entry = file->take_next();
        if (!entry) {
            break;
        }
        send_history(entry);
        file->sent(entry);
        --file_room;
        pace.take(1);
    }
}

void MqttPublisher::Impl::publish_results() {
    if (!session.connected()) {
        return;
    }
    std::deque<std::string> results;
    std::deque<MqttInbox::Message> messages;
    inbox->take_outgoing(results, messages);
    for (const std::string& result : results) {
        session.publish(commands.result_topic(), result.data(), result.size(), false, nullptr);
    }
    for (const MqttInbox::Message& m : messages) {
        session.publish(m.topic, m.payload.data(), m.payload.size(), m.retained, nullptr);
    }
}

void MqttPublisher::Impl::ready() {
    if (announce_due) {
        announce_due = false;
        discovery_due = config.ha_discovery;
        announce();
    }
    if (discovery_due) {
        discovery_due = false;
        // Once a run: the announcement from before the node id goes, so that Home Assistant
        // keeps one device.
        if (!discovery.former_topic.empty() &&
            session.publish(discovery.former_topic, nullptr, 0, true, nullptr)) {
            discovery.former_topic.clear();
        }
        publish_discovery();
    }
}

void MqttPublisher::Impl::announce() {
    // The will covers a crash; this says we are here, for Home Assistant's availability.
    int mid = 0;
    if (session.publish(status_topic, kOnline, std::strlen(kOnline), true, &mid)) {
        control_mids.insert(mid);
    }
    for (const std::string& topic : commands.topics()) {
        session.subscribe(topic);
    }
    if (config.ha_discovery) {
        session.subscribe(ha_topic);
    }
}

// How long the loop may sleep: until the backlog's next token when the rate holds it back.
int MqttPublisher::Impl::wait_ms() const {
    if (!session.connected()) {
        return kPollMaxMs;
    }
    const int idle = std::max(kPollMaxMs, std::min(kIdleMaxMs, config.keepalive_s * 1000 / 2));
    if (!pace.holds_back()) {
        return idle;
    }
    const bool backlog = (file && file->has_pending()) || inbox->has_backlog();
    return backlog ? pace.ms_to_next(idle) : idle;
}

// Whether what the exit waits for is in: every round of the queue that is to go, and the
// announcements.
bool MqttPublisher::Impl::flushed() const {
    return control_mids.empty() && inbox->count_waiting(file_complete()) == 0;
}

void MqttPublisher::Impl::flush_and_close() {
    flushing = true;
    const Clock::time_point deadline = Clock::now() + seconds(config.flush_timeout_s);
    flush(deadline);
    say_offline(deadline);
    session.disconnect();
    // The mark is saved at once from here on.
    flushing = false;
    count_left();
}

void MqttPublisher::Impl::flush(Clock::time_point deadline) {
    bool tried = false;
    while (Clock::now() < deadline) {
        if (!session.has_client()) {
            // Another client has the session: taking it back only to say goodbye would
            // fire its last will.
            if (session.taken_over()) {
                break;
            }
            if (!tried || session.attempt_due()) {
                tried = true;
                if (!session.open()) {
                    session.close();
                    session.retry_within(kFlushRetryS);
                }
                continue;
            }
            session.poll(std::min(session.ms_to_attempt(), ms_until(deadline)));
            continue;
        }
        if (session.up() && flushed()) {
            break;
        }
        pump();
        publish_results();
        session.poll(std::min(kFlushPollMs, ms_until(deadline)));
        if (session.lost()) {
            session.close();
            session.retry_within(kFlushRetryS);
        }
    }
}

// The clean exit's "offline" (the broker drops the will on a clean disconnect).
void MqttPublisher::Impl::say_offline(Clock::time_point deadline) {
    const Clock::time_point offline_deadline =
        std::max(deadline, Clock::now() + seconds(kOfflineGraceS));
    offline_acknowledged = false;
    if (session.has_client() && session.up() &&
        session.publish(status_topic, kOffline, std::strlen(kOffline), true, &offline_mid)) {
        while (session.up() && !offline_acknowledged && Clock::now() < offline_deadline) {
            session.poll(std::min(kFlushPollMs, ms_until(offline_deadline)));
        }
    }
}

void MqttPublisher::Impl::count_left() {
    const unsigned long long left = inbox->count_waiting(true);
    not_delivered = left;
    // Rounds of this run still in the history to be sent, or lost without one.
    bool short_of_file = inbox->dropped() > 0;
    if (file) {
        file->extend(inbox->dropped_through());
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
    if (session.connected() || drop_told || inbox->dropped() == dropped_reported) {
        return;
    }
    drop_told = true;
    log("queue full (" + std::to_string(inbox->depth()) + " cycles, " +
        format_byte_size(static_cast<double>(inbox->bytes())) + "): " +
        (archive != nullptr ? "the oldest leave it, to be sent from the history once the broker "
                              "is back"
                            : "dropping the oldest until the broker is back"));
}

void MqttPublisher::Impl::run() {
    while (!stop_requested) {
        if (!session.has_client()) {
            if (!session.attempt_due()) {
                session.poll(session.ms_to_attempt());
                tell_drops();
                continue;
            }
            if (!session.open()) {
                session.close();
                continue;
            }
        }
        follow_file();
        pump();
        publish_results();
        session.poll(wait_ms());
        session.check_steady();
        if (session.lost()) {
            session.close();
        }
        tell_drops();
    }
    flush_and_close();
    session.end();
}

MqttPublisher::MqttPublisher(const MqttConfig& config) : impl_(std::make_unique<Impl>(config)) {
    Impl& s = *impl_;
    s.snapshot_topic = config.prefix + "/snapshot";
    s.cycle_topic = config.prefix + "/cycle";
    s.history_topic = config.prefix + "/history";
    s.ha_topic = ha_status_topic(config);
    if (config.ha_discovery) {
        s.discovery = build_ha_discovery(config);
    }
}

MqttPublisher::~MqttPublisher() {
    stop();
}

void MqttPublisher::set_remote_writes(RemoteWrites* writes) {
    impl_->commands.set_remote_writes(writes);
}

void MqttPublisher::send(const std::string& suffix, std::string payload, bool retained) {
    impl_->inbox->add_message({impl_->config.prefix + "/" + suffix, std::move(payload), retained});
    impl_->inbox->wake();
}

void MqttPublisher::add_command(const std::string& suffix, CommandHandler handler) {
    impl_->commands.add(suffix, std::move(handler));
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
    if (!s.inbox->usable()) {
        error = std::string("cannot create an event descriptor: ") + std::strerror(errno);
        return false;
    }
    s.run_start_ms = wall_ms();
    if (s.archive != nullptr) {
        std::weak_ptr<MqttInbox> weak = s.inbox;
        s.file = std::make_unique<FileBacklog>(
            *s.archive, s.consumer, s.config.data_id,
            [weak] {
                if (const std::shared_ptr<MqttInbox> box = weak.lock()) {
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
    MqttSession::use_library();
    s.stop_requested = false;
    s.pace.start(Clock::now());
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
    impl_->inbox->push(round, impl_->session.connected_now());
    impl_->inbox->wake();
}

MqttCounters MqttPublisher::counters() const {
    const Impl& s = *impl_;
    MqttCounters c;
    c.queue_depth = s.inbox->depth();
    c.queue_bytes = s.inbox->bytes();
    c.dropped = s.inbox->dropped();
    c.published = s.published.load();
    c.replayed = s.replayed.load();
    c.not_delivered = s.not_delivered.load();
    c.takeovers = s.session.takeovers();
    c.connected = s.session.connected_now().load();
    c.taken_over = s.session.taken_over();
    c.reconnects = s.session.reconnects();
    c.writes_refused = s.commands.refused();
    c.delivered_through_ms = s.delivered_through.load();
    c.backlog_on_file = s.backlog_on_file.load();
    return c;
}

std::string MqttPublisher::note() const {
    return impl_->session.note();
}

bool MqttPublisher::delivered_all() const {
    return !impl_->short_of_this_run.load();
}

}  // namespace kv830host
