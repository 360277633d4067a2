// A Modbus TCP client that sends what a test gives it byte for byte (a transaction id of its
// choosing, frames no real client would send) and reads one reply frame back.
#pragma once

#include <cstdint>
#include <vector>

namespace testproc {

class RawModbusClient {
  public:
    using Bytes = std::vector<std::uint8_t>;

    explicit RawModbusClient(int port);  // on 127.0.0.1, replies awaited up to 3 s
    ~RawModbusClient();
    RawModbusClient(const RawModbusClient&) = delete;
    RawModbusClient& operator=(const RawModbusClient&) = delete;

    // The reply's PDU to `pdu` for `unit`; empty when the connection closed or nothing came.
    Bytes ask(std::uint8_t unit, const Bytes& pdu, std::uint16_t transaction = 0x1234);
    // The same for a whole frame, MBAP header included.
    Bytes send_raw(const Bytes& adu);

  private:
    int fd_;
    bool connected_ = false;
};

}  // namespace testproc
