#include "mqtt_url.h"

#include "hex_digit.h"
#include "host_port.h"
#include "option_table.h"

namespace kv830host {

namespace {

struct Scheme {
    const char* prefix;
    bool tls;
    int default_port;
};

constexpr Scheme kSchemes[] = {
    {"mqtt://",  false, kMqttPort   },
    {"mqtts://", true,  kMqttTlsPort},
};

// %XX escapes let a password hold the characters that delimit the URL.
bool decode_part(const std::string& text, const char* what, std::string& out, std::string& error) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const bool whole = i + 2 < text.size();
        const int hi = whole ? kv830cli::hex_digit(text[i + 1]) : -1;
        const int lo = whole ? kv830cli::hex_digit(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
            error = std::string("bad %-escape in the ") + what;
            return false;
        }
        const int byte = hi * 16 + lo;
        if (byte == 0) {
            error = std::string("%00 in the ") + what;
            return false;
        }
        out += static_cast<char>(byte);
        i += 2;
    }
    return true;
}

}  // namespace

bool parse_mqtt_url(const std::string& text, MqttUrl& out, std::string& error) {
    MqttUrl url;
    std::string rest;
    bool known = false;
    for (const Scheme& scheme : kSchemes) {
        const std::string prefix = scheme.prefix;
        if (text.compare(0, prefix.size(), prefix) == 0) {
            url.tls = scheme.tls;
            url.port = scheme.default_port;
            rest = text.substr(prefix.size());
            known = true;
            break;
        }
    }
    if (!known) {
        error = "'" + text + "' is not mqtt://[user[:password]@]host[:port] or mqtts://...";
        return false;
    }
    for (const char c : rest) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f) {
            error = "a space or control character in the broker URL";
            return false;
        }
        if (c == '/' || c == '?' || c == '#') {
            error = "the broker URL takes no path, query or fragment";
            return false;
        }
    }
    // The last '@' ends the credentials, so that an unescaped '@' in a password still
    // leaves the host intact.
    const std::size_t at = rest.rfind('@');
    std::string hostport = rest;
    if (at != std::string::npos) {
        const std::string userinfo = rest.substr(0, at);
        hostport = rest.substr(at + 1);
        const std::size_t colon = userinfo.find(':');
        if (!decode_part(userinfo.substr(0, colon), "user name", url.user, error)) {
            return false;
        }
        if (url.user.empty()) {
            error = "an empty user name in the broker URL";
            return false;
        }
        if (colon != std::string::npos) {
            url.has_password = true;
            if (!decode_part(userinfo.substr(colon + 1), "password", url.password, error)) {
                return false;
            }
        }
    }
    kv830net::HostPortForm form;
    form.default_port = url.port;  // the scheme's
    if (!kv830net::split_host_port(hostport, form, url.host, url.port, error)) {
        error = "broker URL: " + error;
        return false;
    }
    out = url;
    return true;
}

}  // namespace kv830host
