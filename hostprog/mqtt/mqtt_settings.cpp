#include "mqtt_settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "byte_size.h"
#include "device_list.h"
#include "options.h"
#include "secret_file.h"
#include "time_text.h"

namespace kv830host {

namespace {

constexpr const char* kPemCertificate = "-----BEGIN CERTIFICATE-----";

void note_given(MqttSettings& s, const char* name) {
    s.given.emplace_back(name);
}

struct QueueBound {
    std::size_t rounds = std::numeric_limits<std::size_t>::max();
    std::size_t bytes = kMqttQueueDefaultBytes;
};

// "600" is a number of cycles; "600s", "10m", "1h" a time the queue must cover; "512KiB",
// "16MiB" its size. A count or a time must fit the default size, judged by what a round of
// the plant model costs, so that a large one is refused with the figure instead of taking
// the gateway's memory.
bool parse_queue_bound(const std::string& text, double interval_s, QueueBound& out,
                       std::string& error) {
    const std::string bad = "'" + text +
                            "' is not a number of cycles, a duration such as 600s, 10m, 1h, or "
                            "a size such as 512KiB, 16MiB";
    if (text.empty()) {
        error = bad;
        return false;
    }
    if (looks_like_byte_size(text)) {
        std::size_t bytes = 0;
        if (!parse_byte_size(text, bytes, error)) {
            return false;
        }
        if (bytes < kMqttQueueMinBytes || bytes > kMqttQueueMaxBytes) {
            error = "'" + text + "' is outside " + format_byte_size(kMqttQueueMinBytes) + " to " +
                    format_byte_size(kMqttQueueMaxBytes);
            return false;
        }
        out.bytes = bytes;
        return true;
    }
    double count = 0.0;
    if (std::isdigit(static_cast<unsigned char>(text.back())) != 0) {
        long long n = 0;
        if (text[0] == '+' || text[0] == '-' ||
            !kv830cli::parse_decimal(text, 1, kMqttQueueCountMax, n)) {
            error = bad;
            return false;
        }
        count = static_cast<double>(n);
    } else {
        std::int64_t ms = 0;
        std::string why;
        if (!parse_duration(text, ms, why)) {
            error = bad;
            return false;
        }
        count = std::ceil(static_cast<double>(ms) / 1000.0 / (interval_s > 0.0 ? interval_s : 1.0));
    }
    const double bytes = count * static_cast<double>(kMqttRoundBytesEstimate);
    if (bytes > static_cast<double>(kMqttQueueDefaultBytes)) {
        const auto fits = kMqttQueueDefaultBytes / kMqttRoundBytesEstimate;
        error = "'" + text + "' makes " + std::to_string(static_cast<long long>(count)) +
                " cycles at this polling interval, about " + format_byte_size(bytes) + " at " +
                format_byte_size(kMqttRoundBytesEstimate) + " a cycle; a count or a time may " +
                "take at most " + format_byte_size(kMqttQueueDefaultBytes) + " (" +
                std::to_string(fits) + " cycles): give a size such as 64MiB for more";
        return false;
    }
    out.rounds = static_cast<std::size_t>(std::max(1.0, count));
    return true;
}

// Only the file's form: whether the library will find a certificate in it. Whether it is
// the right one only the broker tells.
bool check_ca_file(const std::string& path, std::string& error) {
    const std::string named = "--mqtt-ca " + path + ": ";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = named + "cannot be read: " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMqttCaFileMax) {
            error = named + "longer than " + format_byte_size(kMqttCaFileMax) +
                    "; not a file of certificates";
            return false;
        }
    }
    if (text.empty()) {
        error = named + "empty";
        return false;
    }
    if (text.find(kPemCertificate) == std::string::npos) {
        error = named + "holds no PEM certificate (" + kPemCertificate +
                "); a DER file converts with openssl x509 -inform der -in FILE";
        return false;
    }
    return true;
}

bool check_client_id(const std::string& id, std::string& error) {
    if (id.empty() || id.size() > kMqttClientIdMax) {
        error = "--mqtt-client-id: 1 to " + std::to_string(kMqttClientIdMax) + " characters";
        return false;
    }
    for (const char c : id) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == '+' || c == '#' || c == '/') {
            error = "--mqtt-client-id: '" + id +
                    "' holds a space, a wildcard, '/' or a character outside ASCII";
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<kv830cli::Option> mqtt_options(MqttSettings& s) {
    using Error = std::string;
    return {
        {"mqtt",               0, "URL",
         "publish every cycle to an MQTT broker: mqtt://[user[:password]@]host[:port] or\n"
         "mqtts://... (TLS); off by default",                                                            [&s](const std::string& v, Error& e) {
             MqttUrl url;
             if (!parse_mqtt_url(v, url, e)) {
                 return false;
             }
             s.url = v;
             return true;
         }},
        {"mqtt-ca",            0, "FILE",   "certificates (PEM) to check an mqtts:// broker by",
         [&s](const std::string& v,                                                                                                 Error&) {
             s.ca_file = v;
             note_given(s, "--mqtt-ca");
             return true;
         }                                                                                                },
        {"mqtt-password-file", 0, "FILE",
         "read the broker password from FILE (one line, not readable by\neveryone), not from the "
         "URL",                                                                                          [&s](const std::string& v, Error&) {
             s.password_file = v;
             note_given(s, "--mqtt-password-file");
             return true;
         }},
        {"mqtt-topic",         0, "PREFIX", "topic prefix (default kv830/<data id>)",
         [&s](const std::string& v,                                                                                                 Error& e) {
             if (!check_topic_prefix(v, e)) {
                 return false;
             }
             s.topic_prefix = v;
             note_given(s, "--mqtt-topic");
             return true;
         }                                                                                                },
        {"mqtt-client-id",     0, "ID",
         "the client id (default kv830-<node id>-<data id>); one broker\nsession per id, so "
         "with several devices put {data_id} in it",                                                     [&s](const std::string& v, Error&) {
             s.client_id = v;
             note_given(s, "--mqtt-client-id");
             return true;
         }},
        {"mqtt-keepalive",     0, "S",
         "keepalive in seconds (default 30, at least 5); the broker sends the\nlast will about "
         "two keepalives after a crash",                                                                 [&s](const std::string& v, Error& e) {
             long long n = 0;
             if (!kv830cli::parse_decimal(v, kMqttKeepaliveMin, kMqttKeepaliveMax, n)) {
                 e = "'" + v + "' is not a number of seconds from " +
                     std::to_string(kMqttKeepaliveMin) + " to " + std::to_string(kMqttKeepaliveMax);
                 return false;
             }
             s.keepalive_s = static_cast<int>(n);
             note_given(s, "--mqtt-keepalive");
             return true;
         }},
        {"mqtt-retain",        0, nullptr,  "publish the snapshot retained",
         [&s](const std::string&,                                                                                                   Error&) {
             s.retain = true;
             note_given(s, "--mqtt-retain");
             return true;
         }                                                                                                  },
        {"mqtt-writes",        0, nullptr,
         R"(accept register writes on PREFIX/write: {"register": N, "values": [...]})",                  [&s](const std::string&,   Error&) {
             s.writes = true;
             note_given(s, "--mqtt-writes");
             return true;
         }  },
        {"mqtt-queue",         0, "N",
         "cycles kept in memory while the broker is away: a size (512KiB,\n16MiB), a number of "
         "cycles or a duration (600s, 10m, 1h); default\n16MiB; the oldest leave first, to be "
         "sent from the history later",                                                                  [&s](const std::string& v, Error& e) {
             QueueBound bound;
             // Checked against the interval at start; here only the form.
             if (!parse_queue_bound(v, 1e9, bound, e)) {
                 return false;
             }
             s.queue = v;
             note_given(s, "--mqtt-queue");
             return true;
         }},
        {"mqtt-flush-timeout", 0, "T",
         "at exit, wait up to T for the broker to take what is queued\n(5s; 0 waits for nothing)",       [&s](const std::string& v, Error& e) {
             double ms = 0.0;
             if (!parse_duration_ms(v, kMqttFlushTimeoutMaxS * 1000.0, ms)) {
                 e = "needs 0 to " + std::to_string(static_cast<int>(kMqttFlushTimeoutMaxS)) +
                     "s, not \"" + v + "\"";
                 return false;
             }
             s.flush_timeout_s = ms / 1000.0;
             note_given(s, "--mqtt-flush-timeout");
             return true;
         }},
        {"mqtt-replay-rate",   0, "N",
         "cycles a second sent on PREFIX/history from the backlog once the\nbroker is back (150); "
         "cycles as they complete go first",                                                             [&s](const std::string& v, Error& e) {
             long long n = 0;
             if (!kv830cli::parse_decimal(v, 1, kMqttReplayRateMax, n)) {
                 e = "needs a number of cycles a second from 1 to " +
                     std::to_string(kMqttReplayRateMax) + ", not \"" + v + "\"";
                 return false;
             }
             s.replay_rate = static_cast<unsigned>(n);
             note_given(s, "--mqtt-replay-rate");
             return true;
         }},
        {"ha-discovery",       0, nullptr,  "announce the signals to Home Assistant (MQTT discovery)",
         [&s](const std::string&,                                                                                                   Error&) {
             s.ha_discovery = true;
             note_given(s, "--ha-discovery");
             return true;
         }                                                                                                  },
        {"ha-prefix",          0, "PREFIX", "Home Assistant's discovery prefix (default homeassistant)",
         [&s](const std::string& v,                                                                                                 Error& e) {
             if (!check_topic_prefix(v, e)) {
                 return false;
             }
             s.ha_prefix = v;
             note_given(s, "--ha-prefix");
             return true;
         }                                                                                                },
    };
}

bool check_topic_prefix(const std::string& prefix, std::string& error) {
    if (prefix.empty()) {
        error = "an empty topic prefix";
        return false;
    }
    if (prefix.size() > kMqttPrefixMax) {
        error = "a topic prefix longer than " + std::to_string(kMqttPrefixMax) + " bytes";
        return false;
    }
    if (prefix[0] == '$' || prefix[0] == '/' || prefix.back() == '/') {
        error = "topic prefix '" + prefix + "' starts with '$' or '/' or ends with '/'";
        return false;
    }
    for (const char c : prefix) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '+' || c == '#' || u < 0x20 || u == 0x7f) {
            error = "topic prefix '" + prefix + "' holds a wildcard or control character";
            return false;
        }
    }
    return true;
}

bool check_mqtt_settings(const MqttSettings& s, unsigned data_id, double interval_s,
                         const std::string& node_id, MqttConfig& out, std::string& error) {
    if (!mqtt_enabled(s)) {
        if (!s.given.empty()) {
            error = s.given.front() + " needs --mqtt URL";
            return false;
        }
        return true;
    }
    MqttConfig c;
    if (!parse_mqtt_url(s.url, c.broker, error)) {
        error = "--mqtt: " + error;
        return false;
    }
    if (!s.password_file.empty()) {
        if (c.broker.has_password) {
            error = "--mqtt-password-file: the URL already holds a password; give one or the other";
            return false;
        }
        if (c.broker.user.empty()) {
            error = "--mqtt-password-file: the URL names no user (mqtt://user@host)";
            return false;
        }
        if (!read_secret_file("--mqtt-password-file", s.password_file, kMqttPasswordFileMax,
                              c.broker.password, error)) {
            return false;
        }
        c.broker.has_password = true;
    }
    if (!s.ca_file.empty()) {
        if (!c.broker.tls) {
            error = "--mqtt-ca needs an mqtts:// URL";
            return false;
        }
        if (!check_ca_file(s.ca_file, error)) {
            return false;
        }
        c.ca_file = s.ca_file;
    }
    c.data_id = data_id;
    c.client_id = s.client_id.empty() ? "kv830-" + node_id + "-" + std::to_string(data_id)
                                      : expand_data_id(s.client_id, data_id);
    if (!check_client_id(c.client_id, error)) {
        return false;
    }
    c.prefix = s.topic_prefix.empty() ? "kv830/" + std::to_string(data_id) : s.topic_prefix;
    if (!check_topic_prefix(c.prefix, error)) {
        error = "--mqtt-topic: " + error;
        return false;
    }
    c.keepalive_s = s.keepalive_s;
    c.retain = s.retain;
    c.writes = s.writes;
    const double interval = interval_s > 0.0 ? interval_s : 1.0;
    if (!s.queue.empty()) {
        QueueBound bound;
        if (!parse_queue_bound(s.queue, interval, bound, error)) {
            error = "--mqtt-queue: " + error;
            return false;
        }
        c.queue_rounds = bound.rounds;
        c.queue_bytes = bound.bytes;
    }
    c.flush_timeout_s = s.flush_timeout_s;
    c.replay_rate = s.replay_rate;
    c.ha_discovery = s.ha_discovery;
    if (!s.ha_prefix.empty()) {
        if (!s.ha_discovery) {
            error = "--ha-prefix needs --ha-discovery";
            return false;
        }
        c.ha_prefix = s.ha_prefix;
    }
    // Three missed cycles make the entities unavailable, never less than a minute, so a
    // slow cycle or a broker hiccup does not make them flicker.
    c.expire_after_s =
        std::max(kExpireAfterMinSeconds, static_cast<int>(std::ceil(3.0 * interval)));
    out = c;
    return true;
}

}  // namespace kv830host
