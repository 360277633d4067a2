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
    switch (pdu[0]) {
        case kFnReadInputBits:
            return read_bits(pdu, size);
        case kFnReadHoldingRegisters:
            return read_registers(pdu, size);
        case kFnWriteSingleRegister:
            return write_single(pdu, size);
        case kFnWriteMultipleRegisters:
            return write_multiple(pdu, size);
        default:
            return exception_reply(pdu[0], kExIllegalFunction,
                                   "function " + std::to_string(pdu[0]));
    }
}

bool PduServer::covers_refused(int first, int count) const {
    const auto it = exception_at_.lower_bound(first);
    return it != exception_at_.end() && *it < first + count;
}

PduReply PduServer::read_bits(const std::uint8_t* pdu, std::size_t size) {
    if (size != 5) {
        return exception_reply(pdu[0], kExIllegalValue, "read inputs, bad length");
    }
    const int first = word_at(pdu + 1);
    const int count = word_at(pdu + 3);
    const std::string what = describe("read inputs", first, count);
    if (count < 1 || count > 2000) {
        return exception_reply(pdu[0], kExIllegalValue, what);
    }
    if (first + count > kInputCount) {
        return exception_reply(pdu[0], kExIllegalAddress, what);
    }
    PduReply r;
    r.pdu.push_back(pdu[0]);
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

PduReply PduServer::read_registers(const std::uint8_t* pdu, std::size_t size) {
    if (size != 5) {
        return exception_reply(pdu[0], kExIllegalValue, "read registers, bad length");
    }
    const int first = word_at(pdu + 1);
    const int count = word_at(pdu + 3);
    const std::string what = describe("read registers", first, count);
    if (count < 1 || count > 125) {
        return exception_reply(pdu[0], kExIllegalValue, what);
    }
    if (first + count > kHoldingCount || covers_refused(first, count)) {
        return exception_reply(pdu[0], kExIllegalAddress, what);
    }
    PduReply r;
    r.pdu.push_back(pdu[0]);
    r.pdu.push_back(static_cast<std::uint8_t>(2 * count));
    for (int i = 0; i < count; ++i) {
        push_word(r.pdu,
                  model_.holding()[static_cast<std::size_t>(first) + static_cast<std::size_t>(i)]);
    }
    r.summary = what;
    return r;
}

PduReply PduServer::write_single(const std::uint8_t* pdu, std::size_t size) {
    if (size != 5) {
        return exception_reply(pdu[0], kExIllegalValue, "write register, bad length");
    }
    const int address = word_at(pdu + 1);
    const auto value = static_cast<std::uint16_t>(word_at(pdu + 3));
    const std::string what =
        "write register " + std::to_string(address) + " = " + std::to_string(value);
    if (address >= kHoldingCount || covers_refused(address, 1)) {
        return exception_reply(pdu[0], kExIllegalAddress, what);
    }
    model_.write(address, &value, 1);
    PduReply r;
    r.pdu.assign(pdu, pdu + 5);  // the reply echoes the request
    r.summary = what;
    return r;
}

PduReply PduServer::write_multiple(const std::uint8_t* pdu, std::size_t size) {
    if (size < 6) {
        return exception_reply(pdu[0], kExIllegalValue, "write registers, bad length");
    }
    const int first = word_at(pdu + 1);
    const int count = word_at(pdu + 3);
    const std::size_t bytes = pdu[5];
    const std::string what = describe("write registers", first, count);
    if (count < 1 || count > 123 || bytes != 2U * static_cast<std::size_t>(count) ||
        size != 6 + bytes) {
        return exception_reply(pdu[0], kExIllegalValue, what);
    }
    if (first + count > kHoldingCount || covers_refused(first, count)) {
        return exception_reply(pdu[0], kExIllegalAddress, what);
    }
    std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<std::uint16_t>(word_at(pdu + 6 + 2 * i));
    }
    model_.write(first, values.data(), count);
    PduReply r;
    r.pdu.push_back(pdu[0]);
    push_word(r.pdu, first);
    push_word(r.pdu, count);
    r.summary = what;
    return r;
}

}  // namespace plantsim
