#include "modbus_adu.h"

#include <cstring>

#include "be_words.h"
#include "modbus_crc.h"
#include "modbus_request.h"

namespace qdxhost {

namespace {

constexpr std::size_t kReadHeader = 2;  // function, byte count
constexpr std::size_t kEchoSize = 5;    // function, address, value or count
constexpr std::size_t kExceptionSize = 2;
constexpr std::size_t kReadRequestSize = 5;
constexpr std::uint16_t kModbusProtocol = 0;

std::size_t read_data_size(Function function, int count) {
    if (function == Function::ReadInputBits) {
        return static_cast<std::size_t>((count + 7) / 8);
    }
    return 2 * static_cast<std::size_t>(count);
}

bool is_read(Function function) {
    return function == Function::ReadInputBits || function == Function::ReadHoldingRegisters;
}

}  // namespace

std::size_t encode_read_pdu(Function function, int address, int count, std::uint8_t* out) {
    out[0] = static_cast<std::uint8_t>(function);
    kv830cli::put_be16(out + 1, static_cast<unsigned>(address));
    kv830cli::put_be16(out + 3, static_cast<unsigned>(count));
    return kReadRequestSize;
}

std::size_t frame_rtu(std::uint8_t unit, const std::uint8_t* pdu, std::size_t size,
                      std::uint8_t* out) {
    out[0] = unit;
    std::memcpy(out + 1, pdu, size);
    const std::uint16_t crc = kv830cli::crc16(out, size + 1);
    out[size + 1] = static_cast<std::uint8_t>(crc & 0xFFU);
    out[size + 2] = static_cast<std::uint8_t>(crc >> 8);
    return size + kRtuOverhead;
}

std::size_t frame_tcp(std::uint16_t transaction, std::uint8_t unit, const std::uint8_t* pdu,
                      std::size_t size, std::uint8_t* out) {
    kv830cli::put_be16(out, transaction);
    kv830cli::put_be16(out + 2, kModbusProtocol);
    kv830cli::put_be16(out + 4, static_cast<unsigned>(size + 1));
    out[6] = unit;
    std::memcpy(out + kMbapSize, pdu, size);
    return size + kMbapSize;
}

std::size_t reply_pdu_size(Function function, int count, std::uint8_t reply_function) {
    const auto asked = static_cast<std::uint8_t>(function);
    if (reply_function == (asked | kExceptionFlag)) {
        return kExceptionSize;
    }
    if (reply_function != asked) {
        return 0;
    }
    return is_read(function) ? kReadHeader + read_data_size(function, count) : kEchoSize;
}

ReplyCheck check_read_reply(Function function, int count, const std::uint8_t* pdu,
                            std::size_t size) {
    ReplyCheck r;
    if (size < kExceptionSize) {
        return r;
    }
    const auto asked = static_cast<std::uint8_t>(function);
    if (pdu[0] == (asked | kExceptionFlag) && size == kExceptionSize) {
        r.status = ReplyStatus::Exception;
        r.exception = pdu[1];
        return r;
    }
    const std::size_t data = read_data_size(function, count);
    if (pdu[0] == asked && pdu[1] == data && size == kReadHeader + data) {
        r.status = ReplyStatus::Ok;
    }
    return r;
}

void decode_registers(const std::uint8_t* pdu, int count, std::uint16_t* regs) {
    const std::uint8_t* p = pdu + kReadHeader;
    for (int i = 0; i < count; ++i) {
        regs[i] = kv830cli::be16_at(p + 2 * static_cast<std::ptrdiff_t>(i));
    }
}

void decode_bits(const std::uint8_t* pdu, int count, std::uint8_t* bits) {
    const std::uint8_t* p = pdu + kReadHeader;
    for (int i = 0; i < count; ++i) {
        bits[i] = static_cast<std::uint8_t>((static_cast<unsigned>(p[i / 8]) >> (i % 8)) & 1U);
    }
}

bool parse_mbap(const std::uint8_t* head, MbapHeader& out) {
    kv830cli::MbapHead h;
    const bool framed = kv830cli::read_mbap_head(head, kMbapSize, h) == kv830cli::MbapRead::Head;
    out.transaction = h.transaction;
    out.protocol = h.protocol;
    out.length = h.length;
    out.unit = h.unit;
    return framed && out.protocol == kModbusProtocol;
}

}  // namespace qdxhost
