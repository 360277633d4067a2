#include "link_settings.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include "host_port.h"
#include "option_table.h"

namespace qdxhost {

namespace {

constexpr int kMinDataBits = 5;
constexpr int kMaxDataBits = 8;

enum class Kind { Int, Text, Parity };

struct Member {
    const char* name;
    Kind kind;
    int LinkSettings::*number;
    std::string LinkSettings::*text;
};

// Every member the "modbus" object may hold; anything else is a typo to refuse.
const Member kMembers[] = {
    {"device",     Kind::Text,   nullptr,                   &LinkSettings::device},
    {"baud",       Kind::Int,    &LinkSettings::baud,       nullptr              },
    {"parity",     Kind::Parity, nullptr,                   nullptr              },
    {"data_bits",  Kind::Int,    &LinkSettings::data_bits,  nullptr              },
    {"stop_bits",  Kind::Int,    &LinkSettings::stop_bits,  nullptr              },
    {"slave",      Kind::Int,    &LinkSettings::slave,      nullptr              },
    {"tcp",        Kind::Text,   nullptr,                   &LinkSettings::tcp   },
    {"timeout_ms", Kind::Int,    &LinkSettings::timeout_ms, nullptr              },
    {"pause_ms",   Kind::Int,    &LinkSettings::pause_ms,   nullptr              },
    {"retries",    Kind::Int,    &LinkSettings::retries,    nullptr              },
};

const Member* find_member(const std::string& name) {
    for (const Member& m : kMembers) {
        if (name == m.name) {
            return &m;
        }
    }
    return nullptr;
}

bool read_member(const Member& m, const Json::Value& v, LinkSettings& out, std::string& error) {
    const std::string where = std::string("modbus.") + m.name;
    switch (m.kind) {
        case Kind::Int:
            if (!v.isInt()) {
                error = where + " must be an integer";
                return false;
            }
            out.*m.number = v.asInt();
            return true;
        case Kind::Text:
            if (!v.isString()) {
                error = where + " must be a string";
                return false;
            }
            out.*m.text = v.asString();
            return true;
        case Kind::Parity:
            out.parity = v.isString() ? parse_parity(v.asString()) : '\0';
            if (out.parity == 0) {
                error = where + " must be N, E or O (or none, even, odd)";
                return false;
            }
            return true;
    }
    return false;
}

}  // namespace

long long LinkSettings::pause_ns() const {
    constexpr long long kNsPerMs = 1000000;
    if (pause_ms >= 0) {
        return pause_ms * kNsPerMs;
    }
    return is_tcp() ? 0 : kv830cli::rtu_silence_ns(baud, bits_per_char());
}

std::string LinkSettings::describe() const {
    std::ostringstream text;
    if (is_tcp()) {
        text << "tcp " << tcp << " unit " << slave;
    } else {
        text << device << " " << baud << " " << data_bits << parity << stop_bits << " slave "
             << slave;
    }
    return text.str();
}

bool split_host_port(const std::string& text, std::string& host, std::string& port,
                     std::string& error) {
    int number = 0;
    if (!kv830net::split_host_port(text, kv830net::HostPortForm{}, host, number, error)) {
        return false;
    }
    port = std::to_string(number);
    return true;
}

bool read_link_settings(const Json::Value& settings, LinkSettings& out, std::string& error) {
    if (!settings.isObject()) {
        return true;
    }
    const Json::Value& m = settings["modbus"];
    if (m.isNull()) {
        return true;
    }
    if (!m.isObject()) {
        error = "modbus must be an object";
        return false;
    }
    for (const std::string& name : m.getMemberNames()) {
        const Member* member = find_member(name);
        if (member == nullptr) {
            std::vector<std::string> known;
            for (const Member& k : kMembers) {
                known.emplace_back(k.name);
            }
            error =
                "modbus." + name + " is not a link setting" + kv830cli::did_you_mean(name, known);
            return false;
        }
        if (!read_member(*member, m[name], out, error)) {
            return false;
        }
    }
    return true;
}

bool check_link_settings(const LinkSettings& s, std::string& error) {
    if (s.device.empty() && s.tcp.empty()) {
        error = "no link: give a serial device or a TCP address";
        return false;
    }
    if (s.is_tcp()) {
        std::string host;
        std::string port;
        if (!split_host_port(s.tcp, host, port, error)) {
            return false;
        }
        if (s.slave < 0 || s.slave > kMaxTcpUnit) {
            error = "the unit id must be 0 to 255";
            return false;
        }
    } else if (s.slave < kMinRtuSlave || s.slave > kMaxRtuSlave) {
        error = "the slave address must be 1 to 247";
        return false;
    }
    if (!kv830cli::is_line_baud(s.baud)) {
        error = "the line cannot be set to " + std::to_string(s.baud) +
                " baud (rates such as 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)";
        return false;
    }
    if (s.parity != 'N' && s.parity != 'E' && s.parity != 'O') {
        error = "the parity must be N, E or O";
        return false;
    }
    if (s.data_bits < kMinDataBits || s.data_bits > kMaxDataBits) {
        error = "the data bits must be 5 to 8";
        return false;
    }
    if (s.stop_bits != 1 && s.stop_bits != 2) {
        error = "the stop bits must be 1 or 2";
        return false;
    }
    if (s.timeout_ms < 1 || s.timeout_ms > kMaxTimeoutMs) {
        error = "the response timeout must be 1 ms to 60 s";
        return false;
    }
    if (s.pause_ms < -1 || s.pause_ms > kMaxTimeoutMs) {
        error = "the pause between requests must be 0 to 60 s";
        return false;
    }
    if (s.retries < 0 || s.retries > kMaxRetries) {
        error = "the retries must be 0 to 10";
        return false;
    }
    return true;
}

}  // namespace qdxhost
