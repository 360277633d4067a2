#include "mbap_frame.h"

#include "modbus_request.h"
#include "rtu_frame.h"

namespace plantsim {

namespace {

constexpr int kRtuCrcSize = 2;

}  // namespace

MbapCut cut_mbap_request(std::vector<std::uint8_t>& stream, std::vector<std::uint8_t>& frame) {
    kv830cli::MbapHead head;
    switch (kv830cli::read_mbap_head(stream.data(), stream.size(), head)) {
        case kv830cli::MbapRead::NeedMore:
            return MbapCut::NeedMore;
        case kv830cli::MbapRead::Unframeable:
            return MbapCut::Unframeable;
        case kv830cli::MbapRead::Head:
            break;
    }
    const std::size_t total = head.frame_size();
    if (stream.size() < total) {
        return MbapCut::NeedMore;
    }
    frame.assign(stream.begin(), stream.begin() + static_cast<long>(total));
    stream.erase(stream.begin(), stream.begin() + static_cast<long>(total));
    if (head.protocol != 0) {
        return MbapCut::Dropped;
    }
    // Unit id and PDU are laid out as in an RTU frame, which knows each function's length.
    const int need = rtu_request_length(frame.data() + kMbapUnit, head.length);
    if (need == 0 || (need > 0 && need != static_cast<int>(head.length) + kRtuCrcSize)) {
        return MbapCut::Dropped;
    }
    return MbapCut::Request;
}

}  // namespace plantsim
