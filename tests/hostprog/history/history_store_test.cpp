// The history file: stored form, reading back, old files, retention, open errors.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <map>

#include "history_codec.h"
#include "history_support.h"

namespace {

using historytest::RecordMaker;
using historytest::TempDir;
using kv830host::HistoryStore;
using kv830host::RoundToSave;

constexpr std::int64_t kT0 = 1765180800000;  // 2025-12-08T08:00:00Z

// The previous version's patches still read, and a damaged one is refused, never a crash;
// so is a damaged block.
TEST(HistoryCodec, PatchesAndBlocksRoundTripAndRefuseDamage) {
    RecordMaker maker;
    std::vector<std::vector<unsigned char>> records;
    std::vector<std::int64_t> times;
    for (int i = 0; i < 60; ++i) {
        // A clock step back within the block is kept as it is.
        times.push_back(kT0 + i * 1000LL - (i == 30 ? 5000 : 0));
        records.push_back(maker.next(times.back()));
    }
    const auto patch = historytest::OldFile::patch(&records[0], records[1]);
    std::vector<unsigned char> out;
    ASSERT_TRUE(kv830host::apply_patch(records[0].data(), 576, patch.data(), patch.size(), out));
    EXPECT_EQ(out, records[1]);
    EXPECT_FALSE(kv830host::apply_patch(records[0].data(), 575, patch.data(), patch.size(), out));

    std::vector<const unsigned char*> pointers;
    pointers.reserve(records.size());
    for (const auto& r : records) {
        pointers.push_back(r.data());
    }
    kv830host::Compressor compressor;
    std::vector<unsigned char> blob;
    kv830host::encode_block(times.data(), pointers.data(), pointers.size(), 576, compressor, blob);
    EXPECT_LT(blob.size(), 60U * 100) << "a second of plant time changes few bytes";
    kv830host::BlockView block;
    ASSERT_TRUE(block.open(blob.data(), blob.size(), kT0, compressor));
    block.records(out);
    ASSERT_EQ(block.rounds(), 60U);
    for (std::size_t i = 0; i < 60; ++i) {
        EXPECT_EQ(block.time(i), times[i]);
        EXPECT_EQ(0, std::memcmp(records[i].data(), out.data() + 576 * i, 576)) << i;
    }
    // Every cut of either is refused or yields the record's size.
    for (std::size_t cut = 0; cut < patch.size(); ++cut) {
        if (kv830host::apply_patch(records[0].data(), 576, patch.data(), cut, out)) {
            EXPECT_EQ(out.size(), 576U);
        }
    }
    for (std::size_t cut = 0; cut < blob.size(); ++cut) {
        EXPECT_FALSE(block.open(blob.data(), cut, kT0, compressor)) << cut;
    }
    // A flipped byte is refused or unpacks to whole records; never read out of bounds.
    for (std::size_t at = 0; at < blob.size(); ++at) {
        std::vector<unsigned char> flipped = blob;
        flipped[at] ^= 0x5A;
        if (block.open(flipped.data(), flipped.size(), kT0, compressor)) {
            block.records(out);
            EXPECT_EQ(out.size(), block.rounds() * block.record_size()) << at;
        }
    }
}

TEST(HistoryStore, InterleavedDevicesReadBackInTimeOrder) {
    TempDir dir;
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(dir.file("h.db"), error)) << error;
    std::map<unsigned, RecordMaker> makers;
    makers.emplace(1, RecordMaker(1, 1));
    makers.emplace(7, RecordMaker(2, 7));
    std::vector<std::vector<unsigned char>> records;
    std::vector<RoundToSave> batch;
    std::vector<unsigned> ids;
    for (int i = 0; i < 200; ++i) {
        const unsigned id = i % 3 == 0 ? 7 : 1;
        records.push_back(makers.at(id).next(kT0 + i * 500LL));
        ids.push_back(id);
    }
    for (int i = 0; i < 200; ++i) {
        batch.push_back({ids[static_cast<std::size_t>(i)], 5156, kT0 + i * 500LL,
                         records[static_cast<std::size_t>(i)].data(),
                         records[static_cast<std::size_t>(i)].size()});
        if (batch.size() == 37 || i == 199) {
            ASSERT_TRUE(store.append_batch(batch.data(), batch.size(), kT0, error)) << error;
            batch.clear();
        }
    }
    const auto rounds = historytest::all_rounds(store);
    ASSERT_EQ(rounds.size(), 200U);
    for (std::size_t i = 0; i < rounds.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rounds[i].data_id, ids[i]);
        EXPECT_EQ(rounds[i].unix_ms, kT0 + static_cast<std::int64_t>(i) * 500);
        EXPECT_EQ(rounds[i].record, records[i]);
    }
    // A range that starts in the middle of a commit still decodes its first rows.
    kv830host::RoundQuery q;
    q.any_data_id = false;
    q.data_id = 1;
    q.from_ms = kT0 + 50LL * 500;
    q.to_ms = kT0 + 60LL * 500;
    const auto some = historytest::all_rounds(store, q);
    ASSERT_FALSE(some.empty());
    for (const auto& r : some) {
        const auto i = static_cast<std::size_t>((r.unix_ms - kT0) / 500);
        EXPECT_GE(i, 50U);
        EXPECT_LE(i, 60U);
        EXPECT_EQ(r.record, records[i]);
    }
    kv830host::StoredRound newest;
    ASSERT_TRUE(store.newest_round(7, 5156, 576, newest, error)) << error;
    EXPECT_EQ(newest.record, records[198]);
    EXPECT_EQ(store.rows_skipped(), 0U);
}

// Files of the earlier versions are read as they are and take blocks after their rows;
// reading goes on across both in time order.
TEST(HistoryStore, FilesOfTheEarlierFormatStayReadableAndTakeNewRows) {
    for (const bool text_time : {true, false}) {
        SCOPED_TRACE(text_time ? "raw rows, times as text" : "patches, times as numbers");
        TempDir dir;
        const std::string path = dir.file("old.db");
        RecordMaker maker;
        std::vector<std::vector<unsigned char>> records;
        records.reserve(8);
        for (int i = 0; i < 8; ++i) {
            records.push_back(maker.next(kT0 + i * 1000LL));
        }
        {
            historytest::OldFile old(path, text_time);
            old.commit(1, kT0, 1000, {records.begin(), records.begin() + 3});
            old.commit(1, kT0 + 3000, 1000, {records.begin() + 3, records.begin() + 5});
        }
        {
            HistoryStore reader;
            std::string error;
            ASSERT_TRUE(reader.open(path, HistoryStore::Access::ReadOnly, error)) << error;
            const auto rounds = historytest::all_rounds(reader);
            ASSERT_EQ(rounds.size(), 5U);
            EXPECT_EQ(rounds[4].record, records[4]);
            EXPECT_EQ(rounds[4].unix_ms, kT0 + 4000);
        }
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(path, error)) << error;
        std::vector<RoundToSave> batch;
        for (int i = 5; i < 8; ++i) {
            batch.push_back(
                {1, 5156, kT0 + i * 1000LL, records[static_cast<std::size_t>(i)].data(), 576});
        }
        ASSERT_TRUE(store.append_batch(batch.data(), batch.size(), kT0, error)) << error;
        const auto rounds = historytest::all_rounds(store);
        ASSERT_EQ(rounds.size(), 8U);
        for (std::size_t i = 0; i < 8; ++i) {
            EXPECT_EQ(rounds[i].record, records[i]) << i;
            EXPECT_EQ(rounds[i].unix_ms, kT0 + static_cast<std::int64_t>(i) * 1000) << i;
        }
        kv830host::StoredRound newest;
        ASSERT_TRUE(store.newest_round(1, 5156, 576, newest, error)) << error;
        EXPECT_EQ(newest.record, records[7]);
        EXPECT_EQ(historytest::sql_text(path, "PRAGMA integrity_check;"), "ok");
        EXPECT_EQ(historytest::sql_text(path, "PRAGMA user_version;"), "3");
    }
}

// Thirty days at one round a second, written directly in large commits (blocks of five
// minutes) with the times the rounds would have had.
struct MonthResult {
    long long file_bytes_day10 = 0;
    long long file_bytes_end = 0;
    std::int64_t oldest_ms = 0;
    std::int64_t newest_ms = 0;
    long long rounds = 0;
    // A consumer's delivery mark a day in, in the middle of a block: the rounds after it
    // that pruning removed, as the file counts them and as they are.
    long long pruned_after_mark = 0;
    long long expected_after_mark = 0;
};

constexpr std::int64_t kMarkMs = kT0 + 86400000LL + 500;

MonthResult write_month(const std::string& path, const kv830host::HistoryPolicy& policy) {
    constexpr int kDays = 30;
    constexpr int kPerCommit = 3600;
    MonthResult m;
    HistoryStore store;
    std::string error;
    EXPECT_TRUE(store.open(path, error)) << error;
    store.set_policy(policy);
    RecordMaker maker;
    std::vector<std::vector<unsigned char>> hour;
    hour.reserve(static_cast<std::size_t>(kPerCommit));
    for (int i = 0; i < kPerCommit; ++i) {
        hour.push_back(maker.next(kT0 + i * 1000LL));
    }
    std::vector<RoundToSave> batch(kPerCommit);
    for (int h = 0; h < kDays * 24; ++h) {
        for (int i = 0; i < kPerCommit; ++i) {
            const std::int64_t t = kT0 + (h * 3600LL + i) * 1000;
            // The stamp bytes move with the time, as a polling host's would.
            hour[static_cast<std::size_t>(i)][575] = static_cast<unsigned char>(t / 1000 % 60);
            batch[static_cast<std::size_t>(i)] = {1, 5156, t,
                                                  hour[static_cast<std::size_t>(i)].data(), 576};
        }
        const std::int64_t now = kT0 + (h + 1) * 3600LL * 1000;
        const std::vector<kv830host::MarkRow> marks = {
            {"mqtt test", 1, kMarkMs, 0}
        };
        EXPECT_TRUE(store.append_batch(batch.data(), batch.size(),
                                       h == 0 ? marks : std::vector<kv830host::MarkRow>{}, now,
                                       error))
            << error;
        if (h == 10 * 24) {
            kv830host::HistoryUsage u;
            store.usage(u, error);
            m.file_bytes_day10 = u.file_bytes();
        }
    }
    kv830host::HistoryUsage u;
    store.usage(u, error);
    m.file_bytes_end = u.file_bytes();
    m.oldest_ms =
        std::stoll(historytest::sql_text(path, "SELECT min(time_from) FROM history_summary;"));
    m.newest_ms =
        std::stoll(historytest::sql_text(path, "SELECT max(time_to) FROM history_summary;"));
    m.rounds = std::stoll(historytest::sql_text(path, "SELECT sum(rounds) FROM history_summary;"));
    m.pruned_after_mark = std::stoll(historytest::sql_text(
        path, "SELECT pruned FROM delivery_mark WHERE consumer = 'mqtt test' AND data_id = 1;"));
    m.expected_after_mark = (m.oldest_ms - (kMarkMs + 500)) / 1000;
    // A bin goes with its last block, its summaries with their blocks.
    EXPECT_EQ(
        historytest::sql_text(
            path, "SELECT count(*) FROM history_bin WHERE id < (SELECT min(id) FROM history);"),
        "0");
    EXPECT_EQ(
        historytest::sql_text(
            path, "SELECT count(*) FROM history_summary WHERE id NOT IN (SELECT id FROM history);"),
        "0");
    return m;
}

TEST(HistoryRetention, ThirtyDaysKeepOnlyTheAgeWindow) {
    TempDir dir;
    kv830host::HistoryPolicy policy;
    policy.keep_ms = 2LL * 86400000;
    const MonthResult m = write_month(dir.file("age.db"), policy);
    const std::int64_t end = kT0 + 30LL * 86400000;
    EXPECT_EQ(m.newest_ms, end - 1000);
    // Expired rows go in groups of ten commits' worth (here ten hours).
    EXPECT_GE(m.oldest_ms, end - policy.keep_ms - 11LL * 3600000);
    EXPECT_LE(m.oldest_ms, end - policy.keep_ms + 3600000);
    // The window's rows vary a little in size, and so does the file's high-water mark.
    EXPECT_LE(m.file_bytes_end, m.file_bytes_day10 + m.file_bytes_day10 / 50)
        << "the file stops growing once full";
    EXPECT_EQ(m.pruned_after_mark, m.expected_after_mark);
    EXPECT_EQ(historytest::sql_text(dir.file("age.db"), "PRAGMA integrity_check;"), "ok");
}

TEST(HistoryRetention, ThirtyDaysStayUnderTheSizeLimit) {
    TempDir dir;
    kv830host::HistoryPolicy policy;
    policy.max_bytes = 16LL << 20;
    const MonthResult m = write_month(dir.file("size.db"), policy);
    // Full by day ten, and under the limit from then on.
    EXPECT_GE(m.file_bytes_day10, policy.max_bytes - policy.max_bytes / 10);
    EXPECT_LE(m.file_bytes_end, policy.max_bytes);
    EXPECT_EQ(m.newest_ms, kT0 + 30LL * 86400000 - 1000);
    EXPECT_GT(m.rounds, 3 * 3600 * 24) << "the limit holds more than three days of rounds";
    EXPECT_EQ(m.pruned_after_mark, m.expected_after_mark);
    EXPECT_EQ(historytest::sql_text(dir.file("size.db"), "PRAGMA integrity_check;"), "ok");
}

TEST(HistoryOpen, MissingFolderNamesItAndTheReason) {
    HistoryStore store;
    std::string error;
    EXPECT_FALSE(store.open("/no/such/dir/h.db", error));
    EXPECT_NE(error.find("/no/such/dir"), std::string::npos) << error;
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

// Runs `body` in a child that cannot override file permissions (root drops to nobody)
// and returns its exit status.
int as_ordinary_user(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(99);
        }
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(HistoryOpen, ReadOnlyFileOrFolderFoundAtOpenAndStillReadable) {
    TempDir dir;
    const std::string folder = dir.file("ro");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string path = folder + "/h.db";
    {
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(path, error)) << error;
        RecordMaker maker;
        const auto r = maker.next(kT0);
        RoundToSave round{1, 5156, kT0, r.data(), r.size()};
        ASSERT_TRUE(store.append_batch(&round, 1, kT0, error)) << error;
    }
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    struct Row {
        const char* name;
        HistoryStore::Access access;
        int expected;
    } const rows[] = {
        {"write refused", HistoryStore::Access::ReadWrite, 10},
        {"read allowed",  HistoryStore::Access::ReadOnly,  20}
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const int status = as_ordinary_user([&] {
            HistoryStore store;
            std::string error;
            if (!store.open(path, row.access, error)) {
                return error.find("cannot be written") != std::string::npos &&
                               error.find(folder) != std::string::npos
                           ? 10
                           : 11;
            }
            return historytest::all_rounds(store).size() == 1 ? 20 : 21;
        });
        EXPECT_EQ(status, row.expected);
    }
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
}

TEST(HistoryOpen, TwoProgramsStartingTogetherOnANewFileBothWork) {
    TempDir dir;
    const std::string path = dir.file("together.db");
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(go[1]);
            char byte = 0;
            if (::read(go[0], &byte, 1) != 1) {
                ::_exit(3);
            }
            HistoryStore store;
            std::string error;
            if (!store.open(path, error)) {
                ::_exit(1);
            }
            RecordMaker maker(static_cast<std::uint32_t>(c + 1), static_cast<unsigned>(c + 1));
            const auto r = maker.next(kT0);
            RoundToSave round{static_cast<unsigned>(c + 1), 5156, kT0, r.data(), r.size()};
            ::_exit(store.append_batch(&round, 1, kT0, error) ? 0 : 2);
        }
        children.push_back(pid);
    }
    ::close(go[0]);
    const char bytes[2] = {1, 1};
    ASSERT_EQ(::write(go[1], bytes, 2), 2);
    ::close(go[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(historytest::sql_text(path, "SELECT count(*) FROM history;"), "2");
}

}  // namespace

namespace {

// Rows damaged on disk or written by something else are bad input: skipped and counted,
// the rows around them still read, the newest usable round still served.
TEST(HistoryStore, DamagedRowsAreSkippedAndCounted) {
    TempDir dir;
    const std::string path = dir.file("h.db");
    RecordMaker maker;
    std::vector<std::vector<unsigned char>> records;
    records.reserve(50);
    for (int i = 0; i < 50; ++i) {
        records.push_back(maker.next(kT0 + i * 1000LL));
    }
    {
        // Rows 1 to 20 as the previous version wrote them, in two commits; blocks 21 to 23.
        historytest::OldFile old(path, false);
        old.commit(1, kT0, 1000, {records.begin(), records.begin() + 10});
        old.commit(1, kT0 + 10000, 1000, {records.begin() + 10, records.begin() + 20});
    }
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(path, error)) << error;
    for (int c = 2; c < 5; ++c) {
        std::vector<RoundToSave> batch;
        for (int i = c * 10; i < c * 10 + 10; ++i) {
            batch.push_back(
                {1, 5156, kT0 + i * 1000LL, records[static_cast<std::size_t>(i)].data(), 576});
        }
        ASSERT_TRUE(store.append_batch(batch.data(), batch.size(), kT0, error)) << error;
    }
    const std::vector<unsigned char> stub(10, 0);
    RoundToSave other{1, 5156, kT0 + 60000, stub.data(), stub.size()};
    ASSERT_TRUE(store.append_batch(&other, 1, kT0, error)) << error;
    struct Damage {
        const char* name;
        const char* sql;
    } const damages[] = {
        {"patch cut short", "UPDATE history SET record = substr(record, 1, 3) WHERE id = 5;"  },
        {"unknown format",  "UPDATE history SET format = 9 WHERE id = 14;"                    },
        {"time not a time", "UPDATE history SET time = 'soon' WHERE id = 12;"                 },
        {"block cut short", "UPDATE history SET record = substr(record, 1, 10) WHERE id = 22;"},
    };
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        EXPECT_EQ(sqlite3_exec(db, d.sql, nullptr, nullptr, nullptr), SQLITE_OK);
    }
    sqlite3_close(db);

    HistoryStore reader;
    ASSERT_TRUE(reader.open(path, HistoryStore::Access::ReadOnly, error)) << error;
    // A damaged patch breaks the chain of its commit after it (5-10, 14-20 lost); a row
    // whose time is damaged is left out alone; a damaged block loses its own rounds.
    std::vector<long long> ids;
    for (const auto& r : historytest::all_rounds(reader)) {
        ids.push_back(r.id);
        if (r.record.size() == 576) {
            const auto i = static_cast<std::size_t>((r.unix_ms - kT0) / 1000);
            EXPECT_EQ(r.record, records[i]) << r.id;
        }
    }
    std::vector<long long> expected = {1, 2, 3, 4, 11, 13};
    expected.insert(expected.end(), 10, 21);
    expected.insert(expected.end(), 10, 23);
    expected.push_back(24);
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(reader.rows_skipped(), 15U);
    kv830host::StoredRound newest;
    // The newest round has another size: the one before it is served.
    ASSERT_TRUE(reader.newest_round(1, 5156, 576, newest, error)) << error;
    EXPECT_EQ(newest.id, 23);
    EXPECT_EQ(newest.record, records[49]);
}

}  // namespace
