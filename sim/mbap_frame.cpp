#include "mbap_frame.h"

#include "be_words.h"
#include "rtu_frame.h"

namespace plantsim {

namespace {

constexpr unsigned kMinLength = 2;    // unit id and function code
constexpr unsigned kMaxLength = 254;  // unit id and the largest PDU
constexpr int kRtuCrcSize = 2;

}  // namespace

MbapCut cut_mbap_request(std::vector<std::uint8_t>& stream, std::vector<std::uint8_t>& frame) {
    if (stream.size() < kMbapHeader) {
        return MbapCut::NeedMore;
    }
    const unsigned length = kv830cli::be16_at(stream.data() + 4);
    if (length < kMinLength || length > kMaxLength) {
        return MbapCut::Unframeable;
    }
    const std::size_t total = kMbapUnit + length;
    if (stream.size() < total) {
        return MbapCut::NeedMore;
    }
    frame.assign(stream.begin(), stream.begin() + static_cast<long>(total));
    stream.erase(stream.begin(), stream.begin() + static_cast<long>(total));
    if (kv830cli::be16_at(frame.data() + 2) != 0) {
        return MbapCut::Dropped;
    }
    // Unit id and PDU are laid out as in an RTU frame, which knows each function's length.
    const int need = rtu_request_length(frame.data() + kMbapUnit, length);
    if (need == 0 || (need > 0 && need != static_cast<int>(length) + kRtuCrcSize)) {
        return MbapCut::Dropped;
    }
    return MbapCut::Request;
}

}  // namespace plantsim
