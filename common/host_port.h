// One reader of network addresses for every part that takes one (the link's TCP peer,
// --http, the MQTT broker's URL, the Modbus server): "HOST:PORT", "[IPv6]:PORT", and where
// the caller allows it "PORT", ":PORT" or "HOST" alone. The forms and the wording of a
// refusal are the same everywhere; the host that stands in for a missing one, whether the
// port may be left out and the range it takes stay each caller's.
#pragma once

#include <string>

namespace kv830net {

struct HostPortForm {
    // A bare "PORT" or ":PORT" takes this host; null: the text must name one.
    const char* default_host = nullptr;
    // "HOST" alone takes this port; -1: the text must name one.
    int default_port = -1;
    int min_port = 1;
    int max_port = 65535;
};

// On a refusal returns false with `error` quoting the text and saying what is wrong, and
// leaves `host` and `port` as they were.
bool split_host_port(const std::string& text, const HostPortForm& form, std::string& host,
                     int& port, std::string& error);

// "HOST:PORT" back again, with the brackets an IPv6 address needs ("[::1]:8080").
std::string join_host_port(const std::string& host, int port);

}  // namespace kv830net
