#include "client_session.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "be_words.h"
#include "served_registers.h"

namespace kv830host {

namespace {

using kv830cli::MbapHead;
using kv830cli::ModbusRequest;

constexpr std::size_t kReadReplyHead = 2;  // function, byte count
constexpr std::size_t kEchoSize = 5;       // function, address, value or count
constexpr std::size_t kExceptionSize = 2;  // function | 0x80, code

std::size_t function_slot(std::uint8_t function) {
    const auto* it = std::find(kCountedFunctions.begin(), kCountedFunctions.end(), function);
    return static_cast<std::size_t>(it - kCountedFunctions.begin());
}

}  // namespace

std::uint8_t write_exception(const WriteOutcome& outcome) {
    switch (outcome.kind) {
        case WriteOutcome::Kind::Confirmed:
            return 0;
        case WriteOutcome::Kind::NotConfirmed:
            return kv830cli::kExDeviceFailure;
        case WriteOutcome::Kind::NoReply:
        case WriteOutcome::Kind::Garbled:
            return kv830cli::kExGatewayTargetFailed;
        case WriteOutcome::Kind::Refused:
            break;
    }
    switch (outcome.refusal) {
        case WriteRefusal::Address:
            return kv830cli::kExIllegalAddress;
        case WriteRefusal::Value:
        case WriteRefusal::Malformed:
            return kv830cli::kExIllegalValue;
        case WriteRefusal::UnknownDevice:
            return kv830cli::kExGatewayTargetFailed;
        case WriteRefusal::Busy:
            return kv830cli::kExDeviceBusy;
        case WriteRefusal::None:
            // The controller's own exception, passed on as it gave it.
            if (outcome.exception > 0 && outcome.exception < kv830cli::kExceptionFlag) {
                return static_cast<std::uint8_t>(outcome.exception);
            }
            return kv830cli::kExDeviceFailure;
        case WriteRefusal::Repeated:
        case WriteRefusal::Retained:
            break;
    }
    return kv830cli::kExDeviceFailure;
}

ClientSession::ClientSession(const LastRounds& rounds, bool writes, ServerCounters& counters)
    : rounds_(rounds), writes_(writes), counters_(counters) {}

void ClientSession::open(std::string source) {
    source_ = std::move(source);
    in_begin_ = in_end_ = 0;
    out_begin_ = out_end_ = 0;
    pending_.size = 0;
    for (Answered& a : answered_) {
        a.request.size = 0;
    }
}

void ClientSession::sent(std::size_t n) {
    out_begin_ += n;
    if (out_begin_ == out_end_) {
        out_begin_ = out_end_ = 0;
    } else if (out_begin_ >= kSessionOutput / 2) {
        // A client slow to read: keep room behind what it has yet to take.
        std::memmove(out_.data(), out_.data() + out_begin_, out_end_ - out_begin_);
        out_end_ -= out_begin_;
        out_begin_ = 0;
    }
}

bool ClientSession::has_request() const {
    MbapHead head;
    const std::size_t held = in_end_ - in_begin_;
    switch (kv830cli::read_mbap_head(in_.data() + in_begin_, held, head)) {
        case kv830cli::MbapRead::NeedMore:
            return false;
        case kv830cli::MbapRead::Unframeable:
            return true;
        case kv830cli::MbapRead::Head:
            break;
    }
    return head.protocol != 0 || held >= head.frame_size();
}

ClientSession::Step ClientSession::serve(std::int64_t now_unix_ms, Clock::time_point now) {
    while (can_take()) {
        MbapHead head;
        const std::uint8_t* front = in_.data() + in_begin_;
        const std::size_t held = in_end_ - in_begin_;
        const kv830cli::MbapRead framed = kv830cli::read_mbap_head(front, held, head);
        if (framed == kv830cli::MbapRead::Unframeable ||
            (framed == kv830cli::MbapRead::Head && head.protocol != 0)) {
            return Step::Close;
        }
        if (framed == kv830cli::MbapRead::NeedMore || held < head.frame_size()) {
            if (in_begin_ > 0) {
                // Part of a request behind a whole one: move it to the front for the rest.
                std::memmove(in_.data(), front, held);
                in_end_ = held;
                in_begin_ = 0;
            }
            return Step::Wait;
        }
        const bool waits = take(head, front + kv830cli::kMbapHeaderSize,
                                head.frame_size() - kv830cli::kMbapHeaderSize, now_unix_ms, now);
        in_begin_ += head.frame_size();
        if (in_begin_ == in_end_) {
            in_begin_ = in_end_ = 0;
        }
        if (waits) {
            return Step::Write;
        }
    }
    return Step::Wait;
}

bool ClientSession::take(const MbapHead& head, const std::uint8_t* pdu, std::size_t size,
                         std::int64_t now_unix_ms, Clock::time_point now) {
    ServerCounters::add(counters_.requests[function_slot(pdu[0])]);
    const bool write =
        pdu[0] == kv830cli::kFnWriteSingleRegister || pdu[0] == kv830cli::kFnWriteMultipleRegisters;
    if (write && !writes_) {
        exception(head, pdu[0], kv830cli::kExIllegalFunction);
        return false;
    }
    ModbusRequest request;
    const kv830cli::RequestFault fault = kv830cli::parse_request_pdu(pdu, size, request);
    if (fault != kv830cli::RequestFault::None) {
        exception(head, pdu[0], kv830cli::fault_exception(fault));
        return false;
    }
    if (!rounds_.known(head.unit)) {
        exception(head, pdu[0], kv830cli::kExGatewayTargetFailed);
        return false;
    }
    if (!write) {
        read(head, request, now_unix_ms, now);
        return false;
    }
    if (repeat(head, pdu, size, now)) {
        return false;
    }
    pending_.head = head;
    std::memcpy(pending_.pdu.data(), pdu, size);
    pending_.size = size;
    return true;
}

void ClientSession::read(const MbapHead& head, const ModbusRequest& request,
                         std::int64_t now_unix_ms, Clock::time_point now) {
    const bool inputs = request.function == kv830cli::kFnReadInputBits;
    if (!(inputs ? inputs_served(request.address, request.count)
                 : registers_served(request.address, request.count))) {
        exception(head, request.function, kv830cli::kExIllegalAddress);
        return;
    }
    const RoundPtr round = rounds_.current(head.unit, now_unix_ms, now);
    if (!round) {
        exception(head, request.function, kv830cli::kExGatewayTargetFailed);
        return;
    }
    const std::size_t bytes = inputs ? static_cast<std::size_t>((request.count + 7) / 8)
                                     : 2U * static_cast<std::size_t>(request.count);
    std::uint8_t* out = reply(head, kReadReplyHead + bytes);
    out[0] = request.function;
    out[1] = static_cast<std::uint8_t>(bytes);
    if (inputs) {
        copy_inputs(round->record.data(), request.address, request.count, out + kReadReplyHead);
    } else {
        copy_registers(round->record.data(), request.address, request.count, out + kReadReplyHead);
    }
}

bool ClientSession::repeat(const MbapHead& head, const std::uint8_t* pdu, std::size_t size,
                           Clock::time_point now) {
    for (const Answered& a : answered_) {
        if (a.request.size == size && a.request.head.transaction == head.transaction &&
            a.request.head.unit == head.unit && now - a.at < kRepeatWindow &&
            std::memcmp(a.request.pdu.data(), pdu, size) == 0) {
            std::memcpy(out_.data() + out_end_, a.reply.data(), a.reply_size);
            out_end_ += a.reply_size;
            ServerCounters::add(counters_.repeated_writes);
            return true;
        }
    }
    return false;
}

RemoteWrite ClientSession::take_write() const {
    RemoteWrite w;
    ModbusRequest request;
    kv830cli::parse_request_pdu(pending_.pdu.data(), pending_.size, request);
    w.command.data_id = rounds_.data_id(pending_.head.unit);
    w.has_data_id = true;
    w.command.address = request.address;
    for (std::size_t i = 0; i < static_cast<std::size_t>(request.count); ++i) {
        w.command.values.push_back(kv830cli::be16_at(request.values + 2 * i));
    }
    w.source = source_;
    return w;
}

void ClientSession::write_done(const WriteOutcome& outcome, Clock::time_point now) {
    if (!waiting()) {
        return;
    }
    const std::size_t start = out_end_;
    const std::uint8_t code = write_exception(outcome);
    if (code != 0) {
        exception(pending_.head, pending_.pdu[0], code);
    } else {
        // 06 echoes the request; 16 answers its address and count, which open the request too.
        std::memcpy(reply(pending_.head, kEchoSize), pending_.pdu.data(), kEchoSize);
    }
    Answered& a = answered_[next_answered_];
    next_answered_ = (next_answered_ + 1) % answered_.size();
    a.request = pending_;
    a.reply_size = out_end_ - start;
    std::memcpy(a.reply.data(), out_.data() + start, a.reply_size);
    a.at = now;
    pending_.size = 0;
}

std::uint8_t* ClientSession::reply(const MbapHead& head, std::size_t pdu_size) {
    std::uint8_t* out = out_.data() + out_end_;
    kv830cli::put_be16(out, head.transaction);
    kv830cli::put_be16(out + 2, 0);
    kv830cli::put_be16(out + 4, static_cast<unsigned>(pdu_size + 1));
    out[kv830cli::kMbapUnitAt] = head.unit;
    out_end_ += kv830cli::kMbapHeaderSize + pdu_size;
    return out + kv830cli::kMbapHeaderSize;
}

void ClientSession::exception(const MbapHead& head, std::uint8_t function, std::uint8_t code) {
    std::uint8_t* out = reply(head, kExceptionSize);
    out[0] = static_cast<std::uint8_t>(function | kv830cli::kExceptionFlag);
    out[1] = code;
    const auto* it = std::find(kCountedExceptions.begin(), kCountedExceptions.end(), code);
    ServerCounters::add(
        counters_.exceptions[static_cast<std::size_t>(it - kCountedExceptions.begin())]);
}

}  // namespace kv830host
