// Modbus application layer of the simulator: one request PDU in, one reply PDU out.
//
// Transport framing (RTU or TCP) is the caller's; this part knows the functions the
// plant controller serves (02, 03, 06, 16) and the address ranges it has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "plant_model.h"

namespace plantsim {

enum : std::uint8_t {
    kFnReadInputBits = 0x02,
    kFnReadHoldingRegisters = 0x03,
    kFnWriteSingleRegister = 0x06,
    kFnWriteMultipleRegisters = 0x10,
};

enum : std::uint8_t {
    kExIllegalFunction = 1,
    kExIllegalAddress = 2,
    kExIllegalValue = 3,
};

struct PduReply {
    std::vector<std::uint8_t> pdu;  // function code first; function | 0x80 for an exception
    std::string summary;            // one line for the request log
};

class PduServer {
  public:
    // Holding registers in `exception_at` answer exception 2 to every request that
    // covers them, as a controller with a failing memory area would.
    PduServer(PlantModel& model, std::set<int> exception_at);

    PduReply handle(const std::uint8_t* pdu, std::size_t size);

  private:
    bool covers_refused(int first, int count) const;
    PduReply read_bits(const std::uint8_t* pdu, std::size_t size);
    PduReply read_registers(const std::uint8_t* pdu, std::size_t size);
    PduReply write_single(const std::uint8_t* pdu, std::size_t size);
    PduReply write_multiple(const std::uint8_t* pdu, std::size_t size);

    PlantModel& model_;
    std::set<int> exception_at_;
};

PduReply exception_reply(std::uint8_t function, std::uint8_t code, std::string summary);

}  // namespace plantsim
