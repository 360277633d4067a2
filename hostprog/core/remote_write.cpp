#include "remote_write.h"

#include <utility>

namespace kv830host {

WriteOutcome refused_outcome(WriteRefusal refusal, std::string reason) {
    WriteOutcome o;
    o.kind = WriteOutcome::Kind::Refused;
    o.refusal = refusal;
    o.reason = std::move(reason);
    return o;
}

std::string describe_write_outcome(const WriteOutcome& outcome) {
    std::string text = write_outcome_text(outcome.kind);
    if (!outcome.reason.empty()) {
        text += " (" + outcome.reason + ")";
    }
    if (outcome.retried) {
        text += ", sent again after no reply";
    }
    return text;
}

}  // namespace kv830host
