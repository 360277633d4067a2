// Modbus requests as a server reads them: the MBAP header that frames one over TCP and the
// request PDU of the functions this project serves (02, 03, 06, 16). The simulator and the
// gateway's Modbus server read requests through here, so that both judge a malformed
// request alike and answer it with the exception Modbus prescribes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv830cli {

enum : std::uint8_t {
    kFnReadInputBits = 0x02,
    kFnReadHoldingRegisters = 0x03,
    kFnWriteSingleRegister = 0x06,
    kFnWriteMultipleRegisters = 0x10,
};

constexpr std::uint8_t kExceptionFlag = 0x80;

enum : std::uint8_t {
    kExIllegalFunction = 1,
    kExIllegalAddress = 2,
    kExIllegalValue = 3,
    kExDeviceFailure = 4,
    kExDeviceBusy = 6,
    kExGatewayTargetFailed = 0x0B,  // a gateway's device did not answer (or cannot now)
};

constexpr std::size_t kMbapHeaderSize = 7;  // transaction, protocol, length, unit id
constexpr std::size_t kMbapUnitAt = 6;
constexpr unsigned kMbapMinLength = 2;    // unit id and function code
constexpr unsigned kMbapMaxLength = 254;  // unit id and the largest PDU
constexpr std::size_t kMaxAduSize = kMbapUnitAt + kMbapMaxLength;

struct MbapHead {
    std::uint16_t transaction = 0;
    std::uint16_t protocol = 0;  // 0 for Modbus
    std::uint16_t length = 0;    // unit id and PDU
    std::uint8_t unit = 0;

    std::size_t frame_size() const { return kMbapUnitAt + length; }
};

enum class MbapRead {
    NeedMore,     // fewer than kMbapHeaderSize bytes
    Head,         // `head` holds the header; the frame is head.frame_size() bytes long
    Unframeable,  // the length field cannot be a frame's: the stream cannot be followed
};

// Reads the header at the front of `data` without looking at the body.
MbapRead read_mbap_head(const std::uint8_t* data, std::size_t size, MbapHead& head);

// What a request PDU asks for; `values` points into the PDU at the big-endian words of a
// write (one for function 06, `count` for 16).
struct ModbusRequest {
    std::uint8_t function = 0;
    int address = 0;
    int count = 0;
    const std::uint8_t* values = nullptr;
};

enum class RequestFault {
    None,
    UnknownFunction,  // exception 1
    BadLength,        // exception 3: the PDU's size is not the function's
    BadCount,         // exception 3: a count out of range, or one the byte count disagrees with
};

// Reads the request PDU (function code first) of the functions above.
RequestFault parse_request_pdu(const std::uint8_t* pdu, std::size_t size, ModbusRequest& out);

// The exception Modbus prescribes for a fault (0 for none).
std::uint8_t fault_exception(RequestFault fault);

}  // namespace kv830cli
