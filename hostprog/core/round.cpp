#include "round.h"

#include "modbus_link.h"

namespace kv830host {

// clang-format off
const std::array<RoundCounterInfo, kRoundCounterCount> kRoundCounters = {{
//   counter                    key           family of its own                reason of failed    help of the family                             in cycle message
    {RoundCounter::Answered,   "answered",   "kv830_requests_answered_total", "",           "Modbus requests answered by the controller.", true },
    {RoundCounter::Failed,     "failed",     "",                              "",           "",                                            true },
    {RoundCounter::Retries,    "retries",    "kv830_request_retries_total",   "",           "Modbus requests sent again after a failure.", true },
    {RoundCounter::Timeouts,   "timeouts",   "",                              "timeout",    "",                                            false},
    {RoundCounter::Garbled,    "garbled",    "",                              "garbled",    "",                                            false},
    {RoundCounter::Exceptions, "exceptions", "",                              "exception",  "",                                            false},
    {RoundCounter::LinkDown,   "link_down",  "",                              "link_down",  "",                                            false},
}};
// clang-format on

namespace {

// What the allocator hands out for a block asked for `n` bytes, with its header.
constexpr std::size_t kAllocationOverhead = 16;
// Text this short lives inside the string itself.
constexpr std::size_t kInlineStringBytes = 15;
// A member of an object: the tree node around the key and the value.
constexpr std::size_t kMemberNodeBytes = 48;

std::size_t document_bytes(const Json::Value& value) {
    std::size_t bytes = 0;
    switch (value.type()) {
        case Json::stringValue: {
            const char* begin = nullptr;
            const char* end = nullptr;
            if (value.getString(&begin, &end)) {
                bytes += static_cast<std::size_t>(end - begin) + sizeof(unsigned) + 1 +
                         kAllocationOverhead;
            }
            break;
        }
        case Json::arrayValue:
        case Json::objectValue:
            for (auto it = value.begin(); it != value.end(); ++it) {
                bytes += sizeof(Json::Value) + kMemberNodeBytes + kAllocationOverhead +
                         document_bytes(*it);
                if (value.isObject()) {
                    bytes += it.name().size() + 1 + kAllocationOverhead;
                }
            }
            break;
        default:
            break;
    }
    return bytes;
}

}  // namespace

std::size_t round_bytes(const Round& round) {
    std::size_t bytes = sizeof(Round) + kAllocationOverhead;
    if (round.snapshot.capacity() > kInlineStringBytes) {
        bytes += round.snapshot.capacity() + 1 + kAllocationOverhead;
    }
    return bytes + document_bytes(round.document);
}

RoundCounters counters_of(const qdxhost::DriveResult& drive, bool link_down) {
    RoundCounters c;
    c[RoundCounter::Answered] = drive.answered;
    c[RoundCounter::Failed] = drive.failed;
    c[RoundCounter::Retries] = drive.retries;
    c[RoundCounter::Timeouts] = drive.timeouts;
    c[RoundCounter::Garbled] = drive.garbled;
    c[RoundCounter::Exceptions] = drive.refused;
    c[RoundCounter::LinkDown] = link_down ? 1U : 0U;
    return c;
}

}  // namespace kv830host
