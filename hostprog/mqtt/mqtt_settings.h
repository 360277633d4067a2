// The MQTT part of kv830-host's command line, and its check at start.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "mqtt_url.h"
#include "option_table.h"

namespace kv830host {

constexpr int kMqttKeepaliveDefault = 30;
constexpr int kMqttKeepaliveMin = 5;  // the client library refuses less
constexpr int kMqttKeepaliveMax = 65535;
// The memory queue holds at most this much unless --mqtt-queue gives a size: a few hundred
// rounds, a quarter of an hour at one a second, on a gateway with little memory.
constexpr std::size_t kMqttQueueDefaultBytes = std::size_t{16} << 20;
constexpr std::size_t kMqttQueueMinBytes = std::size_t{64} << 10;
constexpr std::size_t kMqttQueueMaxBytes = std::size_t{1} << 30;
// What a queued round of the plant model costs: its snapshot text (15.8 KB), its record and
// what the queue keeps beside them (bench/mqtt_bench.cpp measures it). Only a count or a
// duration given at start is judged by it; the queue counts each round's own bytes.
constexpr std::size_t kMqttRoundBytesEstimate = 17 * 1024;
constexpr long long kMqttQueueCountMax = 10000000;  // beyond any byte bound
constexpr std::size_t kMqttPasswordFileMax = 4096;
constexpr std::size_t kMqttCaFileMax = std::size_t{4} << 20;
constexpr std::size_t kMqttPrefixMax = 200;
constexpr std::size_t kMqttClientIdMax = 128;
// Shorter than the service manager's stop timeout (TimeoutStopSec=10s in
// packaging/kv830-host.service), with the history's last commit before it.
constexpr double kMqttFlushTimeoutDefaultS = 5.0;
constexpr double kMqttFlushTimeoutMaxS = 600.0;
// Rounds a second sent from the backlog: a day at one round a second within ten minutes,
// about 2.4 MB/s of snapshots; below what one broker connection takes on loopback or a LAN.
constexpr unsigned kMqttReplayRateDefault = 150;
constexpr unsigned kMqttReplayRateMax = 10000;
constexpr int kExpireAfterMinSeconds = 60;
constexpr const char* kHaPrefixDefault = "homeassistant";

// As given on the command line; empty texts mean "the default".
struct MqttSettings {
    std::string url;
    std::string ca_file;
    std::string password_file;
    std::string topic_prefix;
    std::string client_id;  // may hold {data_id}
    int keepalive_s = kMqttKeepaliveDefault;
    bool retain = false;
    bool writes = false;
    std::string queue;  // a number of cycles, a duration such as 600s, 10m, 1h, or a size
    double flush_timeout_s = kMqttFlushTimeoutDefaultS;
    unsigned replay_rate = kMqttReplayRateDefault;
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
    // The memory queue's bounds: rounds and bytes, whichever is reached first.
    std::size_t queue_rounds = std::numeric_limits<std::size_t>::max();
    std::size_t queue_bytes = kMqttQueueDefaultBytes;
    double flush_timeout_s = kMqttFlushTimeoutDefaultS;
    unsigned replay_rate = kMqttReplayRateDefault;
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
    // After another client took the session: doubles from min to max, back to the
    // reconnect backoff once a connection has lasted session_steady_s.
    double takeover_backoff_min_s = 30.0;
    double takeover_backoff_max_s = 600.0;
    double session_steady_s = 60.0;
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
// the CA file, derives the client id (from the gateway's node id), the topic prefix and
// the queue's bounds from the data id and the polling interval. Refuses with a message
// that names the option.
bool check_mqtt_settings(const MqttSettings& settings, unsigned data_id, double interval_s,
                         const std::string& node_id, MqttConfig& out, std::string& error);

// A topic prefix a publisher may use: not empty, no wildcard, no leading '$' or '/', no
// trailing '/', no control character.
bool check_topic_prefix(const std::string& prefix, std::string& error);

}  // namespace kv830host
