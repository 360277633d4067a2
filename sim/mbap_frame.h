// Modbus TCP framing for the simulator's server side: requests are cut out of the stream
// by their MBAP length, and a frame a Modbus TCP server must not answer is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "modbus_request.h"

namespace plantsim {

constexpr std::size_t kMbapHeader = kv830cli::kMbapHeaderSize;
constexpr std::size_t kMbapUnit = kv830cli::kMbapUnitAt;

enum class MbapCut {
    NeedMore,     // no whole frame yet
    Request,      // `frame` holds a request (header included) to answer
    Dropped,      // a whole frame was taken and must not be answered: its protocol id is
                  // not 0, or its length disagrees with what its function code needs
    Unframeable,  // the length field cannot be a frame's: the stream cannot be followed
};

// Takes the first frame off `stream` into `frame`.
MbapCut cut_mbap_request(std::vector<std::uint8_t>& stream, std::vector<std::uint8_t>& frame);

}  // namespace plantsim
