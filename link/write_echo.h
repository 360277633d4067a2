// Writes go out as raw frames so that the controller's echo itself reaches the device,
// which compares it with what it asked for. These are the two pure halves: the request
// PDU, and what an echo means and which words the device is handed for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qdx_host.h"

namespace qdxhost {

// The write request's PDU in `out` (at most 6 + 2 * 123 bytes); returns its size.
std::size_t encode_write_pdu(Function function, int address, const std::uint16_t* values, int count,
                             std::uint8_t* out);

enum class EchoVerdict {
    Echo,       // the function and address echoed: the device compares the rest
    Exception,  // the controller refused the write
    Mismatch,   // an echo of another function or address
};

struct WriteEcho {
    EchoVerdict verdict = EchoVerdict::Mismatch;
    std::uint8_t exception = 0;
    // What the device is handed as the reply: a single write's echoed value, or a
    // multiple write's function and echoed count. Anything but an echo is handed over
    // as words that cannot match what was written, so the device reports the write as
    // not confirmed.
    std::uint16_t words[2] = {};
    int word_count = 0;
};

// Judges the reply PDU (function first) to a write of `values` at `address`.
WriteEcho judge_write_echo(Function function, int address, const std::uint16_t* values,
                           const std::uint8_t* pdu, std::size_t size);

}  // namespace qdxhost
