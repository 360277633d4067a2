// Modbus RTU framing for the simulator's serial side.
//
// Requests are cut out of the byte stream by their length as soon as the function code
// tells it, so a reply does not wait for the 3.5-character silence that ends a frame on
// the wire; the silence still ends (and drops) anything that did not make a valid frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plantsim {

// CRC-16/MODBUS (polynomial 0xA001 reflected, start 0xFFFF); sent low byte first.
std::uint16_t crc16(const std::uint8_t* data, std::size_t size);
bool crc_ok(const std::uint8_t* frame, std::size_t size);

// address + PDU + CRC; with `corrupt_crc` the CRC is inverted so the master must reject it.
std::vector<std::uint8_t> rtu_frame(std::uint8_t address, const std::vector<std::uint8_t>& pdu,
                                    bool corrupt_crc = false);

// Length of the request frame that begins with `data`: 0 while too few bytes have come
// to tell, -1 for a function whose request length this side does not know.
int rtu_request_length(const std::uint8_t* data, std::size_t size);

// Seconds of line silence that end a frame at `baud` with `bits_per_char` bits per
// character (start, data, parity and stop bits): 3.5 characters, and 1.75 ms above
// 19200 baud as the serial line guideline fixes it.
double rtu_silence_seconds(int baud, int bits_per_char);

class RtuRequestFramer {
  public:
    explicit RtuRequestFramer(double silence_seconds) : silence_(silence_seconds) {}

    // Bytes received at time `now` (seconds on any monotonic clock).
    void feed(const std::uint8_t* data, std::size_t size, double now);

    // Takes the next complete frame (CRC checked, still with address and CRC); false when
    // none is ready. Call with the current time so that a silence can end a frame.
    bool next(std::vector<std::uint8_t>& frame, double now);

    // Time at which the bytes held now will have been silent long enough to be judged;
    // negative when nothing is held.
    double deadline() const;

    // Bytes dropped so far because they made no valid frame.
    std::size_t dropped() const { return dropped_; }

  private:
    void drop_all();

    double silence_;
    std::vector<std::uint8_t> buf_;
    double last_ = 0.0;
    std::size_t dropped_ = 0;
};

}  // namespace plantsim
