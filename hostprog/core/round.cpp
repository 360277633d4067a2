#include "round.h"

#include "modbus_link.h"

namespace kv830host {

const std::array<RoundCounterInfo, kRoundCounterCount> kRoundCounters = {
    {
     {RoundCounter::Answered, "answered", "kv830_requests_answered_total", "", true},
     {RoundCounter::Failed, "failed", "", "", true},
     {RoundCounter::Retries, "retries", "kv830_request_retries_total", "", true},
     {RoundCounter::Timeouts, "timeouts", "", "timeout", false},
     {RoundCounter::Garbled, "garbled", "", "garbled", false},
     {RoundCounter::Exceptions, "exceptions", "", "exception", false},
     {RoundCounter::LinkDown, "link_down", "", "link_down", false},
     }
};

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
