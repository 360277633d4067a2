// The replacement host's Modbus master: carries the requests a device sends over a
// serial line (RTU) or a TCP connection and hands the answers back to the device.
//
// One request is on the line at a time. Reads go through libmodbus as they are; writes
// are sent raw so that the controller's echo itself reaches the device, which compares
// it with what it asked for (libmodbus would accept any well-formed echo).
#pragma once

#include <json/value.h>

#include <chrono>
#include <csignal>
#include <iosfwd>
#include <string>

#include "qdx_device.h"

// libmodbus's context under libmodbus's own (reserved) tag, so that this header does
// not pull in modbus.h.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
using modbus_t = struct _modbus;

namespace qdxhost {

// Where and how to reach the controller. The settings document carries these in its
// top-level "modbus" object under the member names given in the comments.
struct LinkSettings {
    std::string device;     // "device": serial device path, for RTU
    int baud = 9600;        // "baud"
    char parity = 'N';      // "parity": "N", "E" or "O" (or "none", "even", "odd")
    int data_bits = 8;      // "data_bits": 5 to 8
    int stop_bits = 1;      // "stop_bits": 1 or 2
    int slave = 1;          // "slave": 1 to 247 (the unit id over TCP)
    std::string tcp;        // "tcp": "HOST:PORT"; when set the link is TCP, not RTU
    int timeout_ms = 1000;  // "timeout_ms": how long to wait for an answer
    int pause_ms = 5;       // "pause_ms": silence before each request (RTU needs 3.5 chars)

    bool is_tcp() const { return !tcp.empty(); }
    // "/dev/ttyUSB0 9600 8N1 slave 1" or "tcp 127.0.0.1:1502 unit 1".
    std::string describe() const;
};

// Takes the members of settings["modbus"] that are present over `out`. A member of the
// wrong type or out of range is refused with a message naming it; `out` is then left
// partly updated and must not be used.
bool read_link_settings(const Json::Value& settings, LinkSettings& out, std::string& error);

// Range and consistency checks shared by the settings document and the command line.
bool check_link_settings(const LinkSettings& s, std::string& error);

// "HOST:PORT" (HOST may be a name or an address; "[v6]:PORT" for IPv6 addresses).
bool split_host_port(const std::string& text, std::string& host, std::string& port,
                     std::string& error);

// Parity from "N", "E", "O", "none", "even", "odd" (any case); 0 when unknown.
char parse_parity(const std::string& text);

enum class Exchange {
    Answered,   // a reply reached the device (for a write, possibly a refusal)
    NoReply,    // timeout, CRC or framing error, or a slave exception on a read
    LinkDown,   // the port or the connection is gone; it will be reopened
    NoRequest,  // the device had nothing outstanding
};

const char* exchange_name(Exchange e);

// What one drive() call did.
struct DriveResult {
    unsigned answered = 0;
    unsigned failed = 0;
    bool aborted = false;  // stopped on request before the device was done
    Exchange last = Exchange::NoRequest;
};

class ModbusLink {
  public:
    // Messages about the link (lost, reopened, failed requests) go to `log`.
    ModbusLink(LinkSettings settings, std::ostream& log);
    ~ModbusLink();
    ModbusLink(const ModbusLink&) = delete;
    ModbusLink& operator=(const ModbusLink&) = delete;

    const LinkSettings& settings() const { return settings_; }
    bool is_open() const { return ctx_ != nullptr; }

    // Opens the link now unless it is open, or unless a failed attempt was too recent
    // (the wait doubles from 0.5 s up to 8 s between failed attempts).
    bool ensure_open();
    void close();

    // Carries the device's outstanding request and delivers its outcome: the reply
    // through HostAccess::reply_registers / reply_bits, anything else through
    // HostAccess::fail_request.
    Exchange exchange(SPModbus& device);

    // Exchanges requests until the device sends no further one. `abort`, when it
    // becomes non-zero, fails the outstanding request instead of sending it.
    DriveResult drive(SPModbus& device, const volatile std::sig_atomic_t* abort = nullptr);

    unsigned reopen_count() const { return reopens_; }

  private:
    using Clock = std::chrono::steady_clock;

    bool open_once(std::string& error);
    void lost(const std::string& what, int err);
    bool is_link_loss(int err) const;
    void wait_pause();
    Exchange read(SPModbus& device);
    Exchange write(SPModbus& device);
    Exchange failed(SPModbus& device, const std::string& what, int err);

    LinkSettings settings_;
    std::ostream& log_;
    modbus_t* ctx_ = nullptr;
    bool was_lost_ = false;  // opened before and gone since
    bool reported_down_ = false;
    unsigned reopens_ = 0;
    std::chrono::milliseconds backoff_{500};
    Clock::time_point next_attempt_{};
    Clock::time_point last_exchange_{};
    Clock::time_point quiet_until_{};  // no request before this after a lost reply
    // Identity of the serial device as opened: a port that vanishes, or comes back as
    // another device node, is a lost link rather than a silent controller.
    unsigned long long device_id_ = 0;
};

}  // namespace qdxhost
