#include "modbus_request.h"

#include "be_words.h"
#include "kv830_protocol.h"

namespace kv830cli {

namespace {

constexpr std::size_t kAddressCountSize = 5;   // function, address, count (or value)
constexpr std::size_t kWriteMultipleHead = 6;  // function, address, count, byte count

}  // namespace

MbapRead read_mbap_head(const std::uint8_t* data, std::size_t size, MbapHead& head) {
    if (size < kMbapHeaderSize) {
        return MbapRead::NeedMore;
    }
    head.transaction = be16_at(data);
    head.protocol = be16_at(data + 2);
    head.length = be16_at(data + 4);
    head.unit = data[kMbapUnitAt];
    if (head.length < kMbapMinLength || head.length > kMbapMaxLength) {
        return MbapRead::Unframeable;
    }
    return MbapRead::Head;
}

RequestFault parse_request_pdu(const std::uint8_t* pdu, std::size_t size, ModbusRequest& out) {
    if (size < 1) {
        return RequestFault::UnknownFunction;
    }
    out = ModbusRequest{};
    out.function = pdu[0];
    switch (pdu[0]) {
        case kFnReadInputBits:
        case kFnReadHoldingRegisters: {
            if (size != kAddressCountSize) {
                return RequestFault::BadLength;
            }
            out.address = be16_at(pdu + 1);
            out.count = be16_at(pdu + 3);
            const int most =
                pdu[0] == kFnReadInputBits ? kv830::kMaxReadBits : kv830::kMaxReadRegisters;
            return out.count < 1 || out.count > most ? RequestFault::BadCount : RequestFault::None;
        }
        case kFnWriteSingleRegister:
            if (size != kAddressCountSize) {
                return RequestFault::BadLength;
            }
            out.address = be16_at(pdu + 1);
            out.count = 1;
            out.values = pdu + 3;
            return RequestFault::None;
        case kFnWriteMultipleRegisters: {
            if (size < kWriteMultipleHead) {
                return RequestFault::BadLength;
            }
            out.address = be16_at(pdu + 1);
            out.count = be16_at(pdu + 3);
            const std::size_t bytes = pdu[5];
            out.values = pdu + kWriteMultipleHead;
            if (out.count < 1 || out.count > kv830::kMaxWriteRegisters ||
                bytes != 2U * static_cast<std::size_t>(out.count) ||
                size != kWriteMultipleHead + bytes) {
                return RequestFault::BadCount;
            }
            return RequestFault::None;
        }
        default:
            return RequestFault::UnknownFunction;
    }
}

std::uint8_t fault_exception(RequestFault fault) {
    switch (fault) {
        case RequestFault::None:
            return 0;
        case RequestFault::UnknownFunction:
            return kExIllegalFunction;
        case RequestFault::BadLength:
        case RequestFault::BadCount:
            return kExIllegalValue;
    }
    return kExIllegalValue;
}

}  // namespace kv830cli
