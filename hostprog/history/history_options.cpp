#include "history_options.h"

#include "time_text.h"

namespace kv830host {

namespace {

constexpr long long kMaxMb = 1024LL * 1024;  // a terabyte

}  // namespace

HistoryPolicy HistorySettings::policy() const {
    HistoryPolicy p;
    p.keep_ms = keep_ms;
    p.max_bytes = max_mb * 1024 * 1024;
    return p;
}

HistoryWriterOptions HistorySettings::writer_options() const {
    HistoryWriterOptions o;
    o.commit_ms = commit_ms;
    return o;
}

std::vector<kv830cli::Option> history_option_rows(HistorySettings& s) {
    return {
        {"history-keep",   0, "AGE",
         "prune rounds older than this: 30d, 12h, 90m, 45s (default 30d); pruned in\n"
         "small batches inside the regular commits, the freed space is reused",    [&s](const std::string& v, std::string& error) {
             return parse_duration(v, s.keep_ms, error);
         }},
        {"history-max-mb", 0, "N",
         "hold the history file below N MiB (default 256): the oldest rounds give way\n"
         "and the file stops growing, without a VACUUM",                           [&s](const std::string& v, std::string& error) {
             long long n = 0;
             if (!kv830cli::parse_decimal(v, 1, kMaxMb, n)) {
                 error = "'" + v + "' is not a size in MiB (1 to " + std::to_string(kMaxMb) + ")";
                 return false;
             }
             s.max_mb = n;
             return true;
         }},
        {"history-commit", 0, "T",
         "write the rounds that wait in memory every T (1s to 60s, default 60s): a power\n"
         "cut or kill loses at most the last T of history, the file stays intact", [&s](const std::string& v, std::string& error) {
             std::int64_t ms = 0;
             if (!parse_duration(v, ms, error)) {
                 return false;
             }
             if (ms > HistoryWriterOptions::kMaxCommitMs) {
                 error = "'" + v + "' is longer than 60s";
                 return false;
             }
             s.commit_ms = ms;
             return true;
         }},
    };
}

std::string history_status_text(const HistoryWriterStatus& s) {
    std::string text = "history " + std::to_string(s.saved) + " saved";
    if (s.pending > 0 && s.failure != HistoryFailure::None) {
        text += ", " + std::to_string(s.pending) + " waiting";
    }
    if (s.dropped > 0) {
        text += ", " + std::to_string(s.dropped) + " lost (memory full)";
    }
    if (s.failure != HistoryFailure::None) {
        text += std::string(" (") + history_failure_name(s.failure) + ": " + s.error + ")";
    }
    return text;
}

}  // namespace kv830host
