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
