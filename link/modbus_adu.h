// Modbus frames as the link sends and receives them: request PDUs, their RTU and TCP
// envelopes, and the checks a reply passes before its values reach a device. Pure
// functions over caller-owned buffers, so the reply path neither allocates nor formats.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qdx_host.h"

namespace qdxhost {

// Protocol limits of the functions the link carries (the read and write counts are the
// replacement host's, in qdx_host.h).
constexpr std::size_t kMaxPduSize = 253;
constexpr std::size_t kRtuOverhead = 3;  // unit id before the PDU, CRC after it
constexpr std::size_t kMbapSize = 7;     // transaction, protocol, length, unit id
constexpr std::size_t kMaxAduSize = kMbapSize + kMaxPduSize;
constexpr std::uint8_t kExceptionFlag = 0x80;
constexpr std::uint8_t kExceptionBusy = 6;  // "slave device busy": ask again later

// The read request's PDU (function, address, count) in `out`; returns its size (5).
std::size_t encode_read_pdu(Function function, int address, int count, std::uint8_t* out);

// unit id + PDU + CRC in `out`; returns the frame's size.
std::size_t frame_rtu(std::uint8_t unit, const std::uint8_t* pdu, std::size_t size,
                      std::uint8_t* out);

// MBAP header + PDU in `out`; returns the frame's size.
std::size_t frame_tcp(std::uint16_t transaction, std::uint8_t unit, const std::uint8_t* pdu,
                      std::size_t size, std::uint8_t* out);

// The size of the reply PDU to `function` for `count` registers or bits, judged from the
// reply's function byte: the full answer, 2 for an exception, 0 for any other function
// (which no length can be known for).
std::size_t reply_pdu_size(Function function, int count, std::uint8_t reply_function);

enum class ReplyStatus {
    Ok,         // the answer, values from the PDU's third byte on
    Exception,  // the controller refused; the code is in `exception`
    Garbled,    // not an answer to this request
};

struct ReplyCheck {
    ReplyStatus status = ReplyStatus::Garbled;
    std::uint8_t exception = 0;
};

// Judges a read reply's PDU (function first) against the request it answers.
ReplyCheck check_read_reply(Function function, int count, const std::uint8_t* pdu,
                            std::size_t size);

// The values of a read reply, one word or one byte per bit, into `regs` or `bits`.
void decode_registers(const std::uint8_t* pdu, int count, std::uint16_t* regs);
void decode_bits(const std::uint8_t* pdu, int count, std::uint8_t* bits);

// What a TCP reply's MBAP header says; false when it cannot be one of ours at all.
struct MbapHeader {
    std::uint16_t transaction = 0;
    std::uint16_t protocol = 0;
    std::uint16_t length = 0;  // unit id + PDU
    std::uint8_t unit = 0;
};
bool parse_mbap(const std::uint8_t* head, MbapHeader& out);

}  // namespace qdxhost
