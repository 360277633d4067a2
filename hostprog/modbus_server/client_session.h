// One Modbus TCP client's requests, apart from its socket: frames cut from what it sent,
// reads answered from the devices' last rounds, writes handed to the one rule for remote
// writes and answered once their outcome is known. The server's thread owns it; the fuzz
// harness drives it without a socket.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "last_rounds.h"
#include "modbus_request.h"
#include "remote_write.h"

namespace kv830host {

// The function codes and exception codes /metrics counts, each with its label.
constexpr std::array<std::uint8_t, 4> kCountedFunctions = {
    kv830cli::kFnReadInputBits, kv830cli::kFnReadHoldingRegisters, kv830cli::kFnWriteSingleRegister,
    kv830cli::kFnWriteMultipleRegisters};
constexpr std::array<std::uint8_t, 6> kCountedExceptions = {
    kv830cli::kExIllegalFunction, kv830cli::kExIllegalAddress, kv830cli::kExIllegalValue,
    kv830cli::kExDeviceFailure,   kv830cli::kExDeviceBusy,     kv830cli::kExGatewayTargetFailed};

// Written by the server's thread, read by /metrics: single writer, relaxed.
struct ServerCounters {
    using Count = std::atomic<unsigned long long>;
    std::array<Count, kCountedFunctions.size() + 1> requests{};     // the last: any other
    std::array<Count, kCountedExceptions.size() + 1> exceptions{};  // the last: any other
    std::atomic<unsigned> clients{0};
    Count refused_connections{0};  // over the limit of clients
    Count closed_garbage{0};       // not Modbus TCP
    Count closed_idle{0};
    Count repeated_writes{0};  // answered from memory, not written again

    static void add(Count& c) {
        c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
};

// A request repeated with the same transaction id within this time is a client's retry of a
// write it did not see answered: it gets the first answer and is not written again.
constexpr std::chrono::seconds kRepeatWindow{5};
constexpr std::size_t kRememberedWrites = 8;
// Room for two whole requests in, four whole replies out.
constexpr std::size_t kSessionInput = 2 * kv830cli::kMaxAduSize;
constexpr std::size_t kSessionOutput = 4 * kv830cli::kMaxAduSize;

class ClientSession {
  public:
    using Clock = LastRounds::Clock;

    enum class Step {
        Wait,   // for more bytes from the client, or for room to send
        Write,  // a write waits for the rule: take_write(), then write_done()
        Close,  // the client does not speak Modbus TCP
    };

    ClientSession(const LastRounds& rounds, bool writes, ServerCounters& counters);

    // A new client, named in the audit lines as `source` ("modbus 192.0.2.7:50122").
    void open(std::string source);
    const std::string& source() const { return source_; }

    std::uint8_t* input_space() { return in_.data() + in_end_; }
    std::size_t input_room() const { return in_.size() - in_end_; }
    void received(std::size_t n) { in_end_ += n; }

    const std::uint8_t* output() const { return out_.data() + out_begin_; }
    std::size_t output_size() const { return out_end_ - out_begin_; }
    void sent(std::size_t n);

    // Answers the whole requests received, in order, until one is a write for the rule, more
    // bytes are needed, the replies fill the output, or the stream is not Modbus TCP.
    Step serve(std::int64_t now_unix_ms, Clock::time_point now);
    bool waiting() const { return pending_.size != 0; }
    // Whether the input holds a whole request, or bytes that are no request at all.
    bool has_request() const;
    // Whether serve() could take another request now.
    bool can_take() const {
        return !waiting() && kSessionOutput - out_end_ >= kv830cli::kMaxAduSize;
    }

    // The write asked for, as the rule takes it.
    RemoteWrite take_write() const;
    // Answers the waiting write with its outcome and remembers the answer for repeats.
    void write_done(const WriteOutcome& outcome, Clock::time_point now);

  private:
    struct Request {
        kv830cli::MbapHead head;
        std::array<std::uint8_t, kv830cli::kMbapMaxLength> pdu{};
        std::size_t size = 0;  // of the PDU; 0 for none
    };
    struct Answered {
        Request request;
        std::array<std::uint8_t, kv830cli::kMbapHeaderSize + 5> reply{};
        std::size_t reply_size = 0;
        Clock::time_point at{};
    };

    // Answers the frame at the front of the input; true when it waits for the rule.
    bool take(const kv830cli::MbapHead& head, const std::uint8_t* pdu, std::size_t size,
              std::int64_t now_unix_ms, Clock::time_point now);
    void read(const kv830cli::MbapHead& head, const kv830cli::ModbusRequest& request,
              std::int64_t now_unix_ms, Clock::time_point now);
    bool repeat(const kv830cli::MbapHead& head, const std::uint8_t* pdu, std::size_t size,
                Clock::time_point now);
    // The reply's MBAP header, and room for `pdu_size` bytes after it.
    std::uint8_t* reply(const kv830cli::MbapHead& head, std::size_t pdu_size);
    void exception(const kv830cli::MbapHead& head, std::uint8_t function, std::uint8_t code);

    const LastRounds& rounds_;
    const bool writes_;
    ServerCounters& counters_;
    std::string source_;
    std::array<std::uint8_t, kSessionInput> in_{};
    std::size_t in_begin_ = 0;
    std::size_t in_end_ = 0;
    std::array<std::uint8_t, kSessionOutput> out_{};
    std::size_t out_begin_ = 0;
    std::size_t out_end_ = 0;
    Request pending_;
    std::array<Answered, kRememberedWrites> answered_{};
    std::size_t next_answered_ = 0;
};

// The exception a write's outcome is answered with, 0 when the controller confirmed it.
std::uint8_t write_exception(const WriteOutcome& outcome);

}  // namespace kv830host
