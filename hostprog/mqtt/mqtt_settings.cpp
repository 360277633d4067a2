#include "mqtt_settings.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kv830host {

namespace {

void note_given(MqttSettings& s, const char* name) {
    s.given.emplace_back(name);
}

struct DurationUnit {
    char suffix;
    double seconds;
};

constexpr DurationUnit kDurationUnits[] = {
    {'s', 1.0   },
    {'m', 60.0  },
    {'h', 3600.0},
};

// "600" is a number of cycles; "600s", "10m", "1h" a time the queue must cover.
bool parse_queue_bound(const std::string& text, double interval_s, std::size_t& cycles,
                       std::string& error) {
    const std::string bad = "--mqtt-queue: '" + text + "' is not a number of cycles (1 to " +
                            std::to_string(kMqttQueueMax) + ") or a duration such as 600s, 10m, 1h";
    if (text.empty()) {
        error = bad;
        return false;
    }
    double seconds = -1.0;
    for (const DurationUnit& unit : kDurationUnits) {
        if (text.back() == unit.suffix) {
            long long n = 0;
            const std::string number = text.substr(0, text.size() - 1);
            if (number.empty() || number[0] == '+' || number[0] == '-' ||
                !kv830cli::parse_decimal(number, 1, 10000000, n)) {
                error = bad;
                return false;
            }
            seconds = static_cast<double>(n) * unit.seconds;
        }
    }
    double count = 0.0;
    if (seconds >= 0.0) {
        count = std::ceil(seconds / (interval_s > 0.0 ? interval_s : 1.0));
    } else {
        long long n = 0;
        if (text[0] == '+' || text[0] == '-' ||
            !kv830cli::parse_decimal(text, 1, static_cast<long long>(kMqttQueueMax), n)) {
            error = bad;
            return false;
        }
        count = static_cast<double>(n);
    }
    if (count < 1.0 || count > static_cast<double>(kMqttQueueMax)) {
        error = "--mqtt-queue: '" + text + "' makes " + std::to_string(count) +
                " cycles at this polling interval; at most " + std::to_string(kMqttQueueMax);
        return false;
    }
    cycles = static_cast<std::size_t>(count);
    return true;
}

bool read_password_file(const std::string& path, std::string& password, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "--mqtt-password-file: cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[512];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMqttPasswordFileMax) {
            error = "--mqtt-password-file: '" + path + "' is longer than " +
                    std::to_string(kMqttPasswordFileMax) + " bytes";
            return false;
        }
    }
    if (in.bad()) {
        error = "--mqtt-password-file: cannot read '" + path + "'";
        return false;
    }
    // One line; its line end is not part of the password.
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
    for (const char c : text) {
        if (c == '\0' || c == '\n' || c == '\r') {
            error = "--mqtt-password-file: '" + path + "' must hold one line, the password";
            return false;
        }
    }
    password = text;
    return true;
}

bool check_readable(const char* option, const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in || in.peek() == std::ifstream::traits_type::eof()) {
        error = std::string(option) + ": cannot read '" + path + "'" +
                (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string(" (empty)"));
        return false;
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
         "read the broker password from FILE (one line), not from the URL",                              [&s](const std::string& v, Error&) {
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
        {"mqtt-keepalive",     0, "S",
         "keepalive in seconds (default 30, at least 5); the last will reaches\n"
         "subscribers within one and a half keepalives of a crash",                                      [&s](const std::string& v, Error& e) {
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
         "cycles kept while the broker is away, or a duration (600s, 10m, 1h);\n"
         "default 10m; the oldest are dropped first",                                                    [&s](const std::string& v, Error& e) {
             std::size_t n = 0;
             // Checked against the interval at start; here only the form.
             if (!parse_queue_bound(v, 1.0, n, e)) {
                 return false;
             }
             s.queue = v;
             note_given(s, "--mqtt-queue");
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

std::string local_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

bool check_mqtt_settings(const MqttSettings& s, unsigned data_id, double interval_s,
                         const std::string& host_name, MqttConfig& out, std::string& error) {
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
        if (!read_password_file(s.password_file, c.broker.password, error)) {
            return false;
        }
        c.broker.has_password = true;
    }
    if (!s.ca_file.empty()) {
        if (!c.broker.tls) {
            error = "--mqtt-ca needs an mqtts:// URL";
            return false;
        }
        errno = 0;
        if (!check_readable("--mqtt-ca", s.ca_file, error)) {
            return false;
        }
        c.ca_file = s.ca_file;
    }
    c.data_id = data_id;
    c.client_id = "kv830-" + (host_name.empty() ? std::string("localhost") : host_name) + "-" +
                  std::to_string(data_id);
    c.prefix = s.topic_prefix.empty() ? "kv830/" + std::to_string(data_id) : s.topic_prefix;
    if (!check_topic_prefix(c.prefix, error)) {
        error = "--mqtt-topic: " + error;
        return false;
    }
    c.keepalive_s = s.keepalive_s;
    c.retain = s.retain;
    c.writes = s.writes;
    const double interval = interval_s > 0.0 ? interval_s : 1.0;
    if (s.queue.empty()) {
        const double n = std::ceil(kMqttQueueDefaultSeconds / interval);
        c.queue_capacity = static_cast<std::size_t>(
            std::max(1.0, std::min(n, static_cast<double>(kMqttQueueMax))));
    } else if (!parse_queue_bound(s.queue, interval, c.queue_capacity, error)) {
        return false;
    }
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
