// The history's rows of the program's option table, and its status text, so that the
// command line, --help and the status line say the same as the code does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history_store.h"
#include "history_writer.h"
#include "option_table.h"

namespace kv830host {

struct HistorySettings {
    static constexpr std::int64_t kDefaultKeepMs = 30LL * 24 * 3600 * 1000;
    static constexpr long long kDefaultMaxMb = 256;

    std::int64_t keep_ms = kDefaultKeepMs;
    long long max_mb = kDefaultMaxMb;
    std::int64_t commit_ms = HistoryWriterOptions::kDefaultCommitMs;

    HistoryPolicy policy() const;
    HistoryWriterOptions writer_options() const;
};

// --history-keep, --history-max-mb, --history-commit; to be appended to the program's
// table. A value that does not parse is refused there, before any link opens.
std::vector<kv830cli::Option> history_option_rows(HistorySettings& settings);

// "history 3600 saved" or "history 3600 saved, 42 waiting (locked by another program:
// ...)", for the status line.
std::string history_status_text(const HistoryWriterStatus& status);

}  // namespace kv830host
