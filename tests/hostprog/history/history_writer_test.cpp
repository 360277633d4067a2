// Grouped commits: a locked file loses nothing and stalls nothing; a kill loses at most
// one commit interval and leaves the file intact.
#include "history_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "history_options.h"
#include "history_support.h"
#include "time_text.h"

namespace {

using historytest::RecordMaker;
using historytest::TempDir;
using kv830host::HistoryStore;
using kv830host::HistoryWriter;
using kv830host::HistoryWriterOptions;

// Held by another program during the run, or already when the program starts: either
// way polling goes on and the rounds wait for the lock to go.
TEST(HistoryWriter, LockedFileKeepsRoundsInMemoryAndWritesThemWhenFreed) {
    for (const bool at_start : {false, true}) {
        SCOPED_TRACE(at_start ? "locked at start" : "locked during the run");
        TempDir dir;
        const std::string path = dir.file("h.db");
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(path, error)) << error;
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
        if (at_start) {
            store.close();
            ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr),
                      SQLITE_OK);
            EXPECT_FALSE(store.open(path, HistoryStore::Access::ReadWrite, error));
            EXPECT_EQ(store.last_failure(), kv830host::HistoryFailure::Busy) << error;
        }
        HistoryWriterOptions options;
        options.commit_ms = 60000;
        HistoryWriter writer(store, options);
        writer.start();
        if (!at_start) {
            ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr),
                      SQLITE_OK);
        }
        RecordMaker maker;
        const std::int64_t t0 = kv830host::wall_clock_ms();
        for (int i = 0; i < 100; ++i) {
            const auto r = maker.next(t0 + i);
            ASSERT_TRUE(writer.submit(1, 5156, t0 + i, r.data(), r.size()));
        }
        writer.flush();
        auto s = writer.status();
        EXPECT_EQ(s.failure, kv830host::HistoryFailure::Busy) << s.error;
        EXPECT_EQ(s.pending, 100U);
        EXPECT_EQ(s.saved, 0U);
        // Rounds keep coming while the lock is held.
        for (int i = 100; i < 150; ++i) {
            const auto r = maker.next(t0 + i);
            ASSERT_TRUE(writer.submit(1, 5156, t0 + i, r.data(), r.size()));
        }
        ASSERT_EQ(sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(other);
        writer.flush();
        s = writer.status();
        EXPECT_EQ(s.failure, kv830host::HistoryFailure::None) << s.error;
        EXPECT_EQ(s.pending, 0U);
        EXPECT_EQ(s.saved, 150U);
        EXPECT_EQ(s.dropped, 0U);
        writer.stop();
        EXPECT_EQ(historytest::sql_text(path, "SELECT sum(rounds) FROM history_summary;"), "150");
    }
}

TEST(HistoryWriter, FullRingGivesUpTheOldestAndCountsThem) {
    TempDir dir;
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(dir.file("h.db"), error)) << error;
    HistoryWriterOptions options;
    options.max_pending = 10;
    HistoryWriter writer(store, options);  // not started: nothing is written meanwhile
    RecordMaker maker;
    for (int i = 0; i < 25; ++i) {
        const auto r = maker.next(i * 1000LL);
        writer.submit(1, 5156, i * 1000LL, r.data(), r.size());
    }
    const std::vector<unsigned char> wrong(575, 0);
    EXPECT_FALSE(writer.submit(1, 5156, 0, wrong.data(), wrong.size()));
    writer.start();
    writer.stop();
    const auto s = writer.status();
    EXPECT_EQ(s.saved, 10U);
    EXPECT_EQ(s.dropped, 15U);
    EXPECT_EQ(s.refused, 1U);
    const auto rounds = historytest::all_rounds(store);
    ASSERT_EQ(rounds.size(), 10U);
    EXPECT_EQ(rounds.front().unix_ms, 15000) << "the newest rounds are the ones kept";
}

// A child writes a round every 10 ms with a counter in its bytes and commits every
// kCommitMs; it is killed with SIGKILL at a moment the parent notes.
TEST(HistoryWriter, KillLosesAtMostOneCommitIntervalAndLeavesTheFileIntact) {
    constexpr std::int64_t kCommitMs = 500;
    // Scheduling on a loaded machine may delay the writer's thread beyond its interval.
    constexpr std::int64_t kSlackMs = 1500;
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        TempDir dir;
        const std::string path = dir.file("h.db");
        const pid_t pid = ::fork();
        if (pid == 0) {
            HistoryStore store;
            std::string error;
            if (!store.open(path, error)) {
                ::_exit(1);
            }
            HistoryWriterOptions options;
            options.commit_ms = kCommitMs;
            HistoryWriter writer(store, options);
            writer.start();
            RecordMaker maker;
            for (std::uint32_t n = 1;; ++n) {
                const std::int64_t now = kv830host::wall_clock_ms();
                auto r = maker.next(now);
                std::memcpy(r.data() + 4, &n, sizeof n);
                writer.submit(1, 5156, now, r.data(), r.size());
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1700 + run * 450));
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        const std::int64_t killed = kv830host::wall_clock_ms();
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        // Checked as the next program to open the file finds it: the log the killed writer
        // left is recovered first, which a read-only connection may not do.
        EXPECT_EQ(historytest::sql_text(path, "PRAGMA integrity_check;", true), "ok");
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(path, HistoryStore::Access::ReadOnly, error)) << error;
        const auto rounds = historytest::all_rounds(store);
        ASSERT_FALSE(rounds.empty());
        for (std::size_t i = 0; i < rounds.size(); ++i) {
            std::uint32_t n = 0;
            std::memcpy(&n, rounds[i].record.data() + 4, sizeof n);
            ASSERT_EQ(n, i + 1) << "rows are whole and without gaps";
        }
        EXPECT_LE(killed - rounds.back().unix_ms, kCommitMs + kSlackMs);
        EXPECT_EQ(store.rows_skipped(), 0U);
    }
}

// The file may not grow (as on a full disk): the failure is reported, the rounds wait in
// memory, and they are written once the file may grow again.
TEST(HistoryWriter, FullDiskIsReportedAndTheRoundsWrittenWhenSpaceReturns) {
    TempDir dir;
    const std::string path = dir.file("h.db");
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) {
            ::_exit(1);
        }
        HistoryStore store;
        std::string error;
        if (!store.open(path, error)) {
            ::_exit(1);
        }
        HistoryWriter writer(store, HistoryWriterOptions{});
        writer.start();
        RecordMaker maker;
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = 600;  // less than the journal's first page
        ::setrlimit(RLIMIT_FSIZE, &small);
        for (int i = 0; i < 30; ++i) {
            const auto r = maker.next(i * 1000LL);
            writer.submit(1, 5156, i * 1000LL, r.data(), r.size());
        }
        writer.flush();
        const auto failed = writer.status();
        if (failed.failure == kv830host::HistoryFailure::None || failed.pending != 30 ||
            failed.error.empty() ||
            kv830host::history_status_text(failed).find("30 waiting") == std::string::npos) {
            ::_exit(2);
        }
        ::setrlimit(RLIMIT_FSIZE, &saved);
        writer.flush();
        const auto s = writer.status();
        writer.stop();
        if (s.failure != kv830host::HistoryFailure::None || s.saved != 30 || s.pending != 0) {
            ::_exit(3);
        }
        ::_exit(historytest::all_rounds(store).size() == 30 ? 0 : 4);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(historytest::sql_text(path, "PRAGMA integrity_check;"), "ok");
}

TEST(HistoryOptions, ValuesParseOrAreRefused) {
    struct Row {
        const char* option;
        const char* value;
        bool ok;
    } const rows[] = {
        {"--history-keep",   "30d",  true },
        {"--history-keep",   "12h",  true },
        {"--history-keep",   "soon", false},
        {"--history-keep",   "0d",   false},
        {"--history-max-mb", "64",   true },
        {"--history-max-mb", "0",    false},
        {"--history-max-mb", "1e3",  false},
        {"--history-commit", "60s",  true },
        {"--history-commit", "5",    true },
        {"--history-commit", "61s",  false},
        {"--history-commit", "2m",   false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.option) + " " + row.value);
        kv830host::HistorySettings settings;
        const auto table = kv830host::history_option_rows(settings);
        const char* argv[] = {"kv830-host", row.option, row.value};
        std::vector<std::string> positional;
        std::string error;
        EXPECT_EQ(kv830cli::parse_command_line(table, 3, argv, positional, error), row.ok) << error;
        if (!row.ok) {
            EXPECT_NE(error.find(row.value), std::string::npos) << error;
        }
    }
    kv830host::HistorySettings settings;
    const auto table = kv830host::history_option_rows(settings);
    const char* argv[] = {"kv830-host", "--history-keep",   "2h", "--history-max-mb",
                          "3",          "--history-commit", "10s"};
    std::vector<std::string> positional;
    std::string error;
    ASSERT_TRUE(kv830cli::parse_command_line(table, 7, argv, positional, error)) << error;
    EXPECT_EQ(settings.policy().keep_ms, 2 * 3600000);
    EXPECT_EQ(settings.policy().max_bytes, 3 * 1024 * 1024);
    EXPECT_EQ(settings.writer_options().commit_ms, 10000);
    const std::string help = kv830cli::format_help(table, "Usage", "");
    EXPECT_NE(help.find("power"), std::string::npos) << "--help says what a power cut loses";
}

}  // namespace
