#include "remote_write.h"

namespace kv830host {

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
