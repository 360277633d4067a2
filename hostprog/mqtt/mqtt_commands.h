// What comes in over MQTT with --mqtt-writes: register writes on PREFIX/write, decided by
// the program's one rule for remote writes and answered on PREFIX/write/result, and the
// commands other parts of the program take on topics of their own, answered on
// TOPIC/result. Answers go through the inbox, to be sent once the library's call that
// brought the command has returned.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mqtt_inbox.h"
#include "mqtt_publisher.h"
#include "mqtt_settings.h"
#include "remote_write.h"

namespace kv830host {

class MqttCommands {
  public:
    MqttCommands(const MqttConfig& config, std::shared_ptr<MqttInbox> inbox);

    // Before the publisher starts.
    void set_remote_writes(RemoteWrites* writes) { writes_ = writes; }
    void add(const std::string& suffix, MqttPublisher::CommandHandler handler);

    // The topics to subscribe to, none without --mqtt-writes.
    std::vector<std::string> topics() const;
    // On the network thread: whether `topic` was a command, and then it is answered.
    bool take(const std::string& topic, const std::string& payload, bool retained);
    const std::string& result_topic() const { return result_topic_; }
    // Any thread: write commands refused before the rule saw them.
    unsigned long long refused() const { return refused_.load(); }

  private:
    void take_write(const std::string& payload, bool retained);

    const MqttConfig& config_;
    const std::shared_ptr<MqttInbox> inbox_;
    const std::string write_topic_;
    const std::string result_topic_;
    RemoteWrites* writes_ = nullptr;
    std::vector<std::pair<std::string, MqttPublisher::CommandHandler>> commands_;  // full topic
    std::atomic<unsigned long long> refused_{0};
};

}  // namespace kv830host
