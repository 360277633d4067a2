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

#include "modbus_request.h"
#include "plant_model.h"

namespace plantsim {

// The function and exception codes are the ones every Modbus part of the project reads.
using kv830cli::kExIllegalAddress;
using kv830cli::kExIllegalFunction;
using kv830cli::kExIllegalValue;
using kv830cli::kFnReadHoldingRegisters;
using kv830cli::kFnReadInputBits;
using kv830cli::kFnWriteMultipleRegisters;
using kv830cli::kFnWriteSingleRegister;

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
    PduReply read_bits(const kv830cli::ModbusRequest& request);
    PduReply read_registers(const kv830cli::ModbusRequest& request);
    PduReply write_single(const kv830cli::ModbusRequest& request, const std::uint8_t* pdu);
    PduReply write_multiple(const kv830cli::ModbusRequest& request);

    PlantModel& model_;
    std::set<int> exception_at_;
};

PduReply exception_reply(std::uint8_t function, std::uint8_t code, std::string summary);

}  // namespace plantsim
