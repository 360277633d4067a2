// The replacement host's Modbus master: carries the requests a device sends over a
// serial line (RTU) or a TCP connection and hands the answers back to the device.
//
// One request is on the line at a time. libmodbus opens and configures the line; the
// frames are ours, so that a reply is waited for in short slices a second stop signal
// can end, judged without allocating, and a write's echo reaches the device as the
// controller sent it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "link_settings.h"
#include "modbus_adu.h"
#include "qdx_device.h"

// libmodbus's context under libmodbus's own (reserved) tag, so that this header does
// not pull in modbus.h.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
using modbus_t = struct _modbus;

namespace qdxhost {

enum class Exchange {
    Answered,   // a reply reached the device (for a write, possibly a wrong echo)
    NoReply,    // nothing came within the timeout, after every retry
    Garbled,    // a reply came but was not one (CRC, framing, length); a write's outcome
                // is then unknown
    Refused,    // the controller answered with an exception (code in DriveResult)
    LinkDown,   // the port or the connection is gone; it will be reopened
    NoRequest,  // the device had nothing outstanding
};

const char* exchange_name(Exchange e);

// What one drive() call did.
struct DriveResult {
    unsigned answered = 0;
    unsigned failed = 0;
    unsigned retries = 0;  // requests sent again after a lost, garbled or busy reply
    // Why requests failed (after their retries).
    unsigned timeouts = 0;
    unsigned garbled = 0;
    unsigned refused = 0;
    unsigned link_down = 0;
    int exception = 0;           // the last exception code a request was refused with
    bool write_retried = false;  // a write went out more than once (no reply came)
    bool aborted = false;        // stopped on request before the device was done
    Exchange last = Exchange::NoRequest;
};

class ModbusLink {
  public:
    using Clock = std::chrono::steady_clock;

    // Messages about the link (lost, reopened, failed requests) go to `log`.
    ModbusLink(LinkSettings settings, std::ostream& log);
    ~ModbusLink();
    ModbusLink(const ModbusLink&) = delete;
    ModbusLink& operator=(const ModbusLink&) = delete;

    const LinkSettings& settings() const { return settings_; }
    // Several devices on one line are polled in turn: the address the next requests go
    // to and their replies must come from.
    void set_slave(int slave) { settings_.slave = slave; }
    bool is_open() const { return ctx_ != nullptr; }

    // Opens the link now unless it is open, or unless a failed attempt was too recent
    // (the wait doubles from 0.5 s up to 8 s between failed attempts).
    bool ensure_open();
    void close();
    // When the next attempt to open is due (now or past while the link is open).
    Clock::time_point next_attempt() const { return next_attempt_; }
    // The last attempt failed in a way that waiting cannot mend: a folder, a file that
    // is not a terminal, no permission, a port another process holds, an unknown host.
    bool open_failed_fatally() const { return fatal_; }
    // Why the last attempt to open failed, with the system's reason.
    const std::string& last_error() const { return last_error_; }

    // Carries the device's outstanding request, retrying a lost or garbled reply, and
    // delivers its outcome: the reply through HostAccess::reply_registers / reply_bits,
    // anything else through HostAccess::fail_request.
    Exchange exchange(SPModbus& device);

    // Exchanges requests until the device sends no further one. `abort`, when it
    // becomes non-zero, ends the wait for a reply and fails the outstanding request. It is
    // an atomic because a signal handler may set it on any thread of the program.
    DriveResult drive(SPModbus& device, const std::atomic<int>* abort = nullptr);

    unsigned reopen_count() const { return reopens_; }

    // Bytes on the line and requests sent since the link was made, for measuring how
    // close a cycle comes to the line's own limit.
    struct Traffic {
        unsigned long long bytes_sent = 0;
        unsigned long long bytes_received = 0;
        unsigned long long requests = 0;
        unsigned long long reads = 0;  // reads that returned bytes: the wake-ups replies cost
    };
    const Traffic& traffic() const { return traffic_; }

  private:
    enum class Attempt { Reply, Timeout, Garbled, Lost, Aborted };
    struct Outcome;
    // After an attempt: send the request again, or the request's end.
    struct Step {
        bool retry = false;
        Exchange result = Exchange::NoReply;
        static Step again() { return {true, Exchange::NoReply}; }
        static Step end(Exchange e) { return {false, e}; }
    };

    bool open_once(std::string& error);
    bool open_tcp(std::string& error);
    bool open_rtu(std::string& error);
    void lost(const char* what, int err);
    bool serial_port_replaced() const;
    bool aborted() const { return abort_ != nullptr && *abort_ != 0; }
    bool sleep_until(Clock::time_point until) const;
    void drain();
    Attempt transact(Function function, int count, std::size_t pdu_size);
    Attempt send_request(std::size_t pdu_size);
    Attempt receive_rtu(Function function, int count);
    Attempt receive_tcp(Function function, int count);
    Attempt read_exactly(std::uint8_t* out, std::size_t size, Clock::time_point first_deadline);
    Exchange carry(SPModbus& device, Outcome& outcome);
    Step after_reply(SPModbus& device, const Request& r, bool may_retry, Outcome& outcome);
    Step after_timeout(SPModbus& device, const Request& r, bool may_retry, Outcome& outcome);
    Exchange deliver_read(SPModbus& device, const Request& r, Outcome& outcome);
    Exchange deliver_write(SPModbus& device, const Request& r, Outcome& outcome);
    void report(const Request& r, const char* what) const;

    LinkSettings settings_;
    std::ostream& log_;
    modbus_t* ctx_ = nullptr;
    int fd_ = -1;
    bool was_lost_ = false;  // opened before and gone since
    bool fatal_ = false;
    std::string last_error_;
    unsigned reopens_ = 0;
    unsigned silent_timeouts_ = 0;  // consecutive requests without any reply
    std::chrono::milliseconds backoff_{500};
    Clock::time_point next_attempt_{};
    Clock::time_point last_end_{};     // when the last reply (or give-up) ended
    Clock::time_point quiet_until_{};  // no new request before this after a lost reply
    Clock::duration byte_gap_{};       // longest pause within one reply
    Clock::duration char_time_{};      // one character on a serial line; zero over TCP
    const std::atomic<int>* abort_ = nullptr;
    std::uint16_t transaction_ = 0;
    Traffic traffic_;
    // Identity of the serial device as opened: a port that vanishes, or comes back as
    // another device node, is a lost link rather than a silent controller.
    unsigned long long device_id_ = 0;
    // Frames in flight: the request as sent and the reply as received.
    std::uint8_t pdu_[kMaxPduSize] = {};
    std::uint8_t adu_[kMaxAduSize] = {};
    std::uint8_t reply_[kMaxAduSize] = {};
    const std::uint8_t* reply_pdu_ = nullptr;
    std::size_t reply_pdu_size_ = 0;
};

}  // namespace qdxhost
