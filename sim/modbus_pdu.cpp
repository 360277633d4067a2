#include "modbus_pdu.h"

#include <sstream>
#include <utility>

#include "be_words.h"

namespace plantsim {

namespace {

int word_at(const std::uint8_t* p) {
    return kv830cli::be16_at(p);
}

void push_word(std::vector<std::uint8_t>& out, int value) {
    out.resize(out.size() + 2);
    kv830cli::put_be16(out.data() + out.size() - 2, static_cast<unsigned>(value));
}

std::string describe(const char* what, int first, int count) {
    std::ostringstream s;
    s << what << " " << first << "+" << count;
    return s.str();
}

// The request log's words for a malformed request, as they were before the parser was
// shared.
std::string describe_fault(const kv830cli::ModbusRequest& request, kv830cli::RequestFault fault) {
    const bool bad_length = fault == kv830cli::RequestFault::BadLength;
    switch (request.function) {
        case kFnReadInputBits:
            return bad_length ? "read inputs, bad length"
                              : describe("read inputs", request.address, request.count);
        case kFnReadHoldingRegisters:
            return bad_length ? "read registers, bad length"
                              : describe("read registers", request.address, request.count);
        case kFnWriteSingleRegister:
            return "write register, bad length";
        default:
            return bad_length ? "write registers, bad length"
                              : describe("write registers", request.address, request.count);
    }
}

}  // namespace

PduReply exception_reply(std::uint8_t function, std::uint8_t code, std::string summary) {
    PduReply r;
    r.pdu = {static_cast<std::uint8_t>(function | 0x80), code};
    r.summary = std::move(summary) + " -> exception " + std::to_string(code);
    return r;
}

PduServer::PduServer(PlantModel& model, std::set<int> exception_at)
    : model_(model), exception_at_(std::move(exception_at)) {}

PduReply PduServer::handle(const std::uint8_t* pdu, std::size_t size) {
    if (size < 1) {
        return exception_reply(0, kExIllegalFunction, "empty request");
    }
    kv830cli::ModbusRequest request;
    const kv830cli::RequestFault fault = kv830cli::parse_request_pdu(pdu, size, request);
    if (fault == kv830cli::RequestFault::UnknownFunction) {
        return exception_reply(pdu[0], kExIllegalFunction, "function " + std::to_string(pdu[0]));
    }
    if (fault != kv830cli::RequestFault::None) {
        return exception_reply(pdu[0], kExIllegalValue, describe_fault(request, fault));
    }
    switch (pdu[0]) {
        case kFnReadInputBits:
            return read_bits(request);
        case kFnReadHoldingRegisters:
            return read_registers(request);
        case kFnWriteSingleRegister:
            return write_single(request, pdu);
        default:
            return write_multiple(request);
    }
}

bool PduServer::covers_refused(int first, int count) const {
    const auto it = exception_at_.lower_bound(first);
    return it != exception_at_.end() && *it < first + count;
}

PduReply PduServer::read_bits(const kv830cli::ModbusRequest& request) {
    const int first = request.address;
    const int count = request.count;
    const std::string what = describe("read inputs", first, count);
    if (first + count > kInputCount) {
        return exception_reply(request.function, kExIllegalAddress, what);
    }
    PduReply r;
    r.pdu.push_back(request.function);
    const int bytes = (count + 7) / 8;
    r.pdu.push_back(static_cast<std::uint8_t>(bytes));
    r.pdu.resize(r.pdu.size() + static_cast<std::size_t>(bytes), 0);
    for (int i = 0; i < count; ++i) {
        if (model_.inputs()[static_cast<std::size_t>(first) + static_cast<std::size_t>(i)] != 0) {
            r.pdu[2 + static_cast<std::size_t>(i / 8)] |= static_cast<std::uint8_t>(1U << (i % 8));
        }
    }
    r.summary = what;
    return r;
}

PduReply PduServer::read_registers(const kv830cli::ModbusRequest& request) {
    const int first = request.address;
    const int count = request.count;
    const std::string what = describe("read registers", first, count);
    if (first + count > kHoldingCount || covers_refused(first, count)) {
        return exception_reply(request.function, kExIllegalAddress, what);
    }
    PduReply r;
    r.pdu.push_back(request.function);
    r.pdu.push_back(static_cast<std::uint8_t>(2 * count));
    for (int i = 0; i < count; ++i) {
        push_word(r.pdu,
                  model_.holding()[static_cast<std::size_t>(first) + static_cast<std::size_t>(i)]);
    }
    r.summary = what;
    return r;
}

PduReply PduServer::write_single(const kv830cli::ModbusRequest& request, const std::uint8_t* pdu) {
    const int address = request.address;
    const auto value = static_cast<std::uint16_t>(word_at(request.values));
    const std::string what =
        "write register " + std::to_string(address) + " = " + std::to_string(value);
    if (address >= kHoldingCount || covers_refused(address, 1)) {
        return exception_reply(request.function, kExIllegalAddress, what);
    }
    model_.write(address, &value, 1);
    PduReply r;
    r.pdu.assign(pdu, pdu + 5);  // the reply echoes the request
    r.summary = what;
    return r;
}

PduReply PduServer::write_multiple(const kv830cli::ModbusRequest& request) {
    const int first = request.address;
    const int count = request.count;
    const std::string what = describe("write registers", first, count);
    if (first + count > kHoldingCount || covers_refused(first, count)) {
        return exception_reply(request.function, kExIllegalAddress, what);
    }
    std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<std::uint16_t>(word_at(request.values + 2 * i));
    }
    model_.write(first, values.data(), count);
    PduReply r;
    r.pdu.push_back(request.function);
    push_word(r.pdu, first);
    push_word(r.pdu, count);
    r.summary = what;
    return r;
}

}  // namespace plantsim
