// Where the MQTT broker is: mqtt://[user[:password]@]host[:port] or mqtts://...
#pragma once

#include <string>

namespace kv830host {

constexpr int kMqttPort = 1883;
constexpr int kMqttTlsPort = 8883;

struct MqttUrl {
    bool tls = false;
    std::string user;  // empty: no user name sent
    std::string password;
    bool has_password = false;  // "user:@host" sends an empty password, "user@host" none
    std::string host;           // a name, an IPv4 address, or an IPv6 address without brackets
    int port = kMqttPort;
};

// Refuses anything but the two forms above, with a reason: another scheme, an empty
// host, a port outside 1..65535, a path, query or fragment, spaces or control
// characters. User and password may carry %XX escapes for ':', '@' and '/'.
bool parse_mqtt_url(const std::string& text, MqttUrl& out, std::string& error);

}  // namespace kv830host
