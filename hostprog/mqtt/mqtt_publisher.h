// Publishes every polling round of one device to an MQTT broker from a thread of its own,
// so that the polling never waits on the network: submit() puts the round in a queue
// bounded in rounds and bytes and returns.
//
// A round submitted while the broker has the connection goes out as it completed, on
// PREFIX/cycle and PREFIX/snapshot. A round that could not (the broker away, the program
// not yet connected) waits in the queue and goes to PREFIX/history once the broker is
// back, at a bounded rate behind the live rounds; only the newest waiting round goes to
// cycle and snapshot on a new connection, so a consumer's live state never steps back.
// When the queue is full the oldest rounds leave it; with a history (RoundArchive) they
// are read back from the file later, oldest first, and how far delivery has got is kept
// there across restarts. Without one they are lost and counted.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "mqtt_settings.h"
#include "remote_write.h"
#include "round.h"
#include "round_archive.h"

namespace kv830host {

struct MqttCounters {
    std::size_t queue_depth = 0;           // rounds waiting in memory
    std::size_t queue_bytes = 0;           // what they hold
    unsigned long long dropped = 0;        // rounds that left the full queue undelivered
    unsigned long long published = 0;      // rounds the broker acknowledged as they completed
    unsigned long long replayed = 0;       // rounds the broker acknowledged on PREFIX/history
    unsigned long long not_delivered = 0;  // after stop(): rounds still waiting
    unsigned long long takeovers = 0;      // sessions another client with our id took
    bool connected = false;
    bool taken_over = false;                // another client holds the session now
    unsigned long long reconnects = 0;      // connection attempts after the first
    unsigned long long writes_refused = 0;  // write commands refused before the rule saw them
    std::int64_t delivered_through_ms = 0;  // the delivery mark (with a history), 0 before
    bool backlog_on_file = false;           // rounds wait in the history to be sent
};

class MqttPublisher {
  public:
    explicit MqttPublisher(const MqttConfig& config);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Where register writes from PREFIX/write go (with --mqtt-writes): the program's one
    // rule for remote writes. Set before start(); must outlive the publisher.
    void set_remote_writes(RemoteWrites* writes);
    // Where the publisher's few lines go (broker lost, dropping, back); stderr by default.
    void set_log(std::function<void(const std::string&)> log);
    // The history the queue's overflow is read back from, and this publisher's name in it
    // for the delivery mark. Set before start(); must outlive the publisher.
    void set_archive(RoundArchive* archive, const std::string& consumer);

    // Starts the network thread; the connection is made there, so a broker that is away
    // at start is not an error. False when the client library cannot be set up or the
    // history's delivery mark cannot be read.
    bool start(std::string& error);
    // Waits up to the flush timeout for the connection and for the broker's
    // acknowledgement of what the queue holds, sends the retained "offline", disconnects
    // and joins the thread. What is left is counted in not_delivered. Idempotent.
    void stop();
    // stop() for several publishers at once: ask them all, then wait for each.
    void ask_stop();

    // Never blocks on the network: a short lock, a wake-up.
    void submit(const RoundPtr& round);

    // A message of another part of the program on PREFIX/`suffix`, sent in order once the
    // broker is there; past kMessagesMax waiting the oldest give way. Never blocks.
    void send(const std::string& suffix, std::string payload, bool retained);
    static constexpr std::size_t kMessagesMax = 1000;
    // With --mqtt-writes: commands on PREFIX/`suffix`, each answered with what `handler`
    // returns on PREFIX/`suffix`/result. The handler runs on the network thread and must
    // not wait long. Set before start().
    using CommandHandler = std::function<std::string(const std::string& payload, bool retained)>;
    void add_command(const std::string& suffix, CommandHandler handler);

    MqttCounters counters() const;
    // A few words for the device's cycle line while something needs saying ("another
    // client uses client id ..."), else "".
    std::string note() const;
    // Whether every round of this run that was submitted reached the broker (checked after
    // stop()).
    bool delivered_all() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kv830host
