// Where and how the link reaches the controller, read from the settings document and
// the command line, and checked before any traffic.
#pragma once

#include <json/value.h>

#include <string>

#include "serial_params.h"

namespace qdxhost {

// The programs spell parity alike; this is the shared parser.
using kv830cli::parse_parity;

// Modbus unit ids: a serial line addresses 1 to 247 (0 is broadcast, the rest reserved);
// over TCP the unit id only selects a device behind a gateway, so any byte is valid.
constexpr int kMinRtuSlave = 1;
constexpr int kMaxRtuSlave = 247;
constexpr int kMaxTcpUnit = 255;
constexpr int kMaxTimeoutMs = 60000;
constexpr int kMaxRetries = 10;

// The settings document carries these in its top-level "modbus" object under the member
// names given in the comments.
struct LinkSettings {
    std::string device;     // "device": serial device path, for RTU
    int baud = 9600;        // "baud": one of the rates the line can be set to
    char parity = 'N';      // "parity": "N", "E" or "O" (or "none", "even", "odd")
    int data_bits = 8;      // "data_bits": 5 to 8
    int stop_bits = 1;      // "stop_bits": 1 or 2
    int slave = 1;          // "slave": 1 to 247 on a serial line, 0 to 255 over TCP
    std::string tcp;        // "tcp": "HOST:PORT"; when set the link is TCP, not RTU
    int timeout_ms = 1000;  // "timeout_ms": how long to wait for an answer
    // "pause_ms": silence before each request; negative (the default) is the silence the
    // line itself needs, 3.5 characters on a serial line and none over TCP.
    int pause_ms = -1;
    int retries = 2;  // "retries": further attempts after a lost or garbled reply

    bool is_tcp() const { return !tcp.empty(); }
    int bits_per_char() const { return kv830cli::char_bits(data_bits, parity, stop_bits); }
    // The pause before a request that applies, in nanoseconds.
    long long pause_ns() const;
    // "/dev/ttyUSB0 9600 8N1 slave 1" or "tcp 127.0.0.1:1502 unit 1".
    std::string describe() const;
};

// Takes the members of settings["modbus"] that are present over `out`. A member of the
// wrong type, out of range or unknown is refused with a message naming it; `out` is then
// left partly updated and must not be used.
bool read_link_settings(const Json::Value& settings, LinkSettings& out, std::string& error);

// Range and consistency checks shared by the settings document and the command line.
bool check_link_settings(const LinkSettings& s, std::string& error);

// "HOST:PORT" (HOST may be a name or an address; "[v6]:PORT" for IPv6 addresses).
bool split_host_port(const std::string& text, std::string& host, std::string& port,
                     std::string& error);

}  // namespace qdxhost
