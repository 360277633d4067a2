// Publishes every polling cycle of one device to an MQTT broker from a thread of its own,
// so that the polling never waits on the network: submit() copies the report into a
// bounded queue and returns. While the broker is away the queue keeps the latest cycles
// (the oldest are dropped first, and counted); they go out in order once it is back, and
// each stays queued until the broker has acknowledged it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "mqtt_settings.h"
#include "remote_write.h"
#include "round.h"

namespace kv830host {

struct MqttCounters {
    std::size_t queue_depth = 0;       // cycles waiting for the broker's acknowledgement
    unsigned long long dropped = 0;    // cycles dropped because the queue was full
    unsigned long long published = 0;  // cycles the broker acknowledged
    bool connected = false;
    unsigned long long reconnects = 0;      // connection attempts after the first
    unsigned long long writes_refused = 0;  // write commands refused before the rule saw them
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

    // Starts the network thread; the connection is made there, so a broker that is away
    // at start is not an error. False only when the client library cannot be set up.
    bool start(std::string& error);
    // Sends what the queue holds while the broker takes it (bounded), then the retained
    // "offline", disconnects and joins the thread. Idempotent.
    void stop();

    // Never blocks on the network: a short lock, a wake-up.
    void submit(const RoundPtr& round);

    MqttCounters counters() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kv830host
