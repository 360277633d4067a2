// Grouped commits: a locked file loses nothing and stalls nothing; a kill loses at most
// one commit interval and leaves the file intact.
#include "history_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "history_support.h"
#include "history_time.h"

namespace {

using historytest::RecordMaker;
using historytest::TempDir;
using kv830host::HistoryStore;
using kv830host::HistoryWriter;
using kv830host::HistoryWriterOptions;

TEST(HistoryWriter, LockedFileKeepsRoundsInMemoryAndWritesThemWhenFreed) {
    TempDir dir;
    const std::string path = dir.file("h.db");
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(path, error)) << error;
    HistoryWriterOptions options;
    options.commit_ms = 60000;
    HistoryWriter writer(store, options);
    writer.start();

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
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
    EXPECT_EQ(historytest::sql_text(path, "SELECT count(*) FROM history;"), "150");
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

        EXPECT_EQ(historytest::sql_text(path, "PRAGMA integrity_check;"), "ok");
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

}  // namespace
