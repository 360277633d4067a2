// The MQTT part of kv830-host's command line, and its check at start.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "mqtt_url.h"
#include "option_table.h"

namespace kv830host {

constexpr int kMqttKeepaliveDefault = 30;
constexpr int kMqttKeepaliveMin = 5;  // the client library refuses less
constexpr int kMqttKeepaliveMax = 65535;
constexpr double kMqttQueueDefaultSeconds = 600.0;  // ten minutes of cycles while away
constexpr std::size_t kMqttQueueMax = 100000;       // cycles; a snapshot is about 16 KiB
constexpr std::size_t kMqttPasswordFileMax = 4096;
constexpr std::size_t kMqttPrefixMax = 200;
constexpr int kExpireAfterMinSeconds = 60;
constexpr const char* kHaPrefixDefault = "homeassistant";

// As given on the command line; empty texts mean "the default".
struct MqttSettings {
    std::string url;
    std::string ca_file;
    std::string password_file;
    std::string topic_prefix;
    int keepalive_s = kMqttKeepaliveDefault;
    bool retain = false;
    bool writes = false;
    std::string queue;  // a number of cycles, or a duration such as 600s, 10m, 1h
    bool ha_discovery = false;
    std::string ha_prefix;
    std::vector<std::string> given;  // names of the MQTT options used, for "needs --mqtt"
};

class SignalModel;

// Checked and resolved: what the publisher runs with.
struct MqttConfig {
    MqttUrl broker;
    std::string ca_file;  // empty with mqtts://: the system's certificate folder
    std::string client_id;
    std::string prefix;
    int keepalive_s = kMqttKeepaliveDefault;
    bool retain = false;
    bool writes = false;
    std::size_t queue_capacity = 600;  // cycles
    bool ha_discovery = false;
    std::string ha_prefix = kHaPrefixDefault;
    // For the discovery, set once the program knows them: the gateway's node id, and the
    // device's signal model, which the program's context keeps and the publisher reads
    // while it is made (the plant model's defaults when null).
    std::string node_id;
    const SignalModel* signals = nullptr;
    unsigned data_id = 1;
    int expire_after_s = kExpireAfterMinSeconds;
    // Reconnect backoff: doubles from min to max, back to min after a good connection.
    double backoff_min_s = 0.5;
    double backoff_max_s = 30.0;
    // A connection that has not been accepted within this time is given up and retried.
    double connect_timeout_s = 10.0;
};

// The rows that kv830-host's option table appends. --ha-discovery is a flag and the
// discovery prefix its own option (--ha-prefix), since the table has no optional values.
std::vector<kv830cli::Option> mqtt_options(MqttSettings& settings);

// Whether --mqtt was given at all.
inline bool mqtt_enabled(const MqttSettings& settings) {
    return !settings.url.empty();
}

// Run once at start, before any polling: parses the URL, reads the password file, checks
// the CA file, derives the client id, the topic prefix and the queue bound from the data
// id and the polling interval. Refuses with a message that names the option.
bool check_mqtt_settings(const MqttSettings& settings, unsigned data_id, double interval_s,
                         const std::string& host_name, MqttConfig& out, std::string& error);

// This machine's name for the client id ("localhost" when it has none).
std::string local_host_name();

// A topic prefix a publisher may use: not empty, no wildcard, no leading '$' or '/', no
// trailing '/', no control character.
bool check_topic_prefix(const std::string& prefix, std::string& error);

}  // namespace kv830host
