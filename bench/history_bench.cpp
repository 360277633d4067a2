// What the history costs: bytes written to storage per hour of polling at one cycle a
// second, for one transaction per round on a write-ahead log (the earlier policy) and for
// the grouped commits of HistoryStore; and how fast stored rounds decode.
//
// Bytes are the kernel's count for this process (/proc/self/io write_bytes): every page
// of the page cache the process dirtied, which is what reaches the medium. The folder
// must be on a disk, not tmpfs (KV830_BENCH_DIR, default the current folder).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "history_export.h"
#include "history_records.h"
#include "history_series.h"
#include "history_store.h"
#include "history_time.h"
#include "history_writer.h"

namespace {

constexpr int kRoundsPerHour = 3600;
constexpr double kRecordBytes = 576.0;
constexpr double kMaxTimesRecord = 1.5;
constexpr std::int64_t kStart = 1765180800000;  // 2025-12-08T08:00:00Z

long long write_bytes() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "write_bytes:") {
            return value;
        }
    }
    return -1;
}

std::string bench_file(const char* name) {
    const char* dir = std::getenv("KV830_BENCH_DIR");
    std::string path = std::string(dir != nullptr ? dir : ".") + "/" + name;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        ::unlink((path + suffix).c_str());
    }
    return path;
}

void remove_file(const std::string& path) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        ::unlink((path + suffix).c_str());
    }
}

std::vector<std::vector<unsigned char>> hour_of_records(std::int64_t start) {
    historytest::RecordMaker maker;
    std::vector<std::vector<unsigned char>> records;
    records.reserve(static_cast<std::size_t>(kRoundsPerHour));
    for (int i = 0; i < kRoundsPerHour; ++i) {
        records.push_back(maker.next(start + i * 1000LL));
    }
    return records;
}

void report(benchmark::State& state, long long bytes, int rounds) {
    const double per_hour = static_cast<double>(bytes) * kRoundsPerHour / rounds;
    state.counters["bytes_per_hour"] = per_hour;
    state.counters["bytes_per_round"] = per_hour / kRoundsPerHour;
    state.counters["times_record"] = per_hour / kRoundsPerHour / kRecordBytes;
}

// The earlier policy: a write-ahead log synced fully, one transaction per round.
void BM_BytesPerHour_RowPerTransactionWal(benchmark::State& state) {
    const auto records = hour_of_records(kStart);
    const int rounds = static_cast<int>(state.range(0));
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        const std::string path = bench_file("history-bench-wal.db");
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                     "CREATE TABLE history (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                     " time TEXT NOT NULL, data_id INTEGER NOT NULL, record_type INTEGER NOT NULL,"
                     " record BLOB NOT NULL);"
                     "CREATE INDEX history_device ON history (data_id, record_type, id);",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO history (time, data_id, record_type, record)"
                           " VALUES (?, 1, 5156, ?);",
                           -1, &insert, nullptr);
        const long long before = write_bytes();
        for (int i = 0; i < rounds; ++i) {
            const auto& r = records[static_cast<std::size_t>(i % kRoundsPerHour)];
            const std::string time = kv830host::format_stored_time(kStart + i * 1000LL);
            sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
            sqlite3_reset(insert);
            sqlite3_bind_text(insert, 1, time.c_str(), 20, SQLITE_TRANSIENT);
            sqlite3_bind_blob(insert, 2, r.data(), static_cast<int>(r.size()), SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
        }
        const long long bytes = write_bytes() - before;
        sqlite3_finalize(insert);
        sqlite3_close(db);
        report(state, bytes, rounds);
        remove_file(path);
    }
}
BENCHMARK(BM_BytesPerHour_RowPerTransactionWal)
    ->Arg(kRoundsPerHour)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// Grouped commits every `commit_s` seconds on a file held at its size limit, so that
// every commit also prunes (the steady state of a plant that runs for months).
void BM_BytesPerHour_GroupedCommits(benchmark::State& state) {
    const std::int64_t commit_s = state.range(0);
    const auto records = hour_of_records(kStart);
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        const std::string path = bench_file("history-bench-grouped.db");
        kv830host::HistoryStore store;
        std::string error;
        if (!store.open(path, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        kv830host::HistoryPolicy policy;
        policy.max_bytes = 4LL << 20;
        store.set_policy(policy);
        std::vector<kv830host::RoundToSave> batch;
        auto write_hour = [&](std::int64_t start_ms, std::int64_t group) {
            for (int i = 0; i < kRoundsPerHour; ++i) {
                const auto& r = records[static_cast<std::size_t>(i)];
                batch.push_back({1, 5156, start_ms + i * 1000LL, r.data(), r.size()});
                if (static_cast<std::int64_t>(batch.size()) == group || i + 1 == kRoundsPerHour) {
                    store.append_batch(batch.data(), batch.size(), start_ms + i * 1000LL, error);
                    batch.clear();
                }
            }
        };
        // Fill to the limit first: hours of history until the file stops growing.
        kv830host::HistoryUsage u;
        for (int hour = 0; hour < 200; ++hour) {
            const long long before = store.usage(u, error) ? u.page_count : 0;
            write_hour(kStart + hour * 3600000LL, 600);
            store.usage(u, error);
            if (u.page_count == before && u.file_bytes() >= (policy.max_bytes * 9) / 10) {
                break;
            }
        }
        const long long before = write_bytes();
        write_hour(kStart + 300 * 3600000LL, commit_s);
        const long long bytes = write_bytes() - before;
        store.usage(u, error);
        {
            sqlite3* db = nullptr;
            sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
            sqlite3_stmt* s = nullptr;
            sqlite3_prepare_v2(db, "SELECT avg(length(record)), count(*) FROM history;", -1, &s,
                               nullptr);
            if (sqlite3_step(s) == SQLITE_ROW) {
                state.counters["stored_bytes_per_row"] = sqlite3_column_double(s, 0);
                state.counters["rows"] = sqlite3_column_double(s, 1);
            }
            sqlite3_finalize(s);
            sqlite3_close(db);
        }
        state.counters["file_bytes"] = static_cast<double>(u.file_bytes());
        report(state, bytes, kRoundsPerHour);
        if (commit_s * 1000 == kv830host::HistoryWriterOptions::kDefaultCommitMs &&
            state.counters["times_record"] > kMaxTimesRecord) {
            state.SkipWithError("the default writes more than 1.5 times the records' bytes");
        }
        store.close();
        remove_file(path);
    }
}
BENCHMARK(BM_BytesPerHour_GroupedCommits)
    ->Arg(10)
    ->Arg(30)
    ->Arg(60)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// A file of `hours` hours at one round a second, made once per program run.
const std::string& decoded_file(int hours) {
    static std::map<int, std::string> files;
    auto it = files.find(hours);
    if (it != files.end()) {
        return it->second;
    }
    const std::string path =
        bench_file(("history-bench-" + std::to_string(hours) + "h.db").c_str());
    kv830host::HistoryStore store;
    std::string error;
    store.open(path, error);
    const auto records = hour_of_records(kStart);
    std::vector<kv830host::RoundToSave> batch;
    for (int h = 0; h < hours; ++h) {
        batch.clear();
        for (int i = 0; i < kRoundsPerHour; ++i) {
            const auto& r = records[static_cast<std::size_t>(i)];
            batch.push_back({1, 5156, kStart + (h * 3600LL + i) * 1000, r.data(), r.size()});
        }
        store.append_batch(batch.data(), batch.size(), kStart, error);
    }
    return files.emplace(hours, path).first->second;
}

class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// `kv830-host export` of an hour of rounds, all signals, to nowhere.
void BM_ExportCsv(benchmark::State& state) {
    const std::string path = decoded_file(1);
    NullBuffer null;
    std::ostream out(&null);
    std::ostringstream err;
    std::string plugin = KV830_SO;
    std::vector<std::string> args = {"export",
                                     "--history",
                                     path,
                                     "--plugin",
                                     plugin,
                                     "--format",
                                     state.range(0) == 0 ? "csv" : "jsonl"};
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        if (kv830host::run_export(static_cast<int>(argv.size()), argv.data(), out, err) != 0) {
            state.SkipWithError(err.str().c_str());
            return;
        }
    }
    state.counters["rounds_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kRoundsPerHour, benchmark::Counter::kIsRate);
}
// The rate is per second of this process's CPU time (the default of Google Benchmark);
// the Time column is the wall clock, which a busy machine stretches.
BENCHMARK(BM_ExportCsv)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The page's trend request: one value signal thinned to 1000 points, over the last hour
// and over a whole day of a file that holds a day.
void BM_Series(benchmark::State& state) {
    const std::string path = decoded_file(24);
    kv830host::HistoryStore store;
    std::string error;
    store.open(path, kv830host::HistoryStore::Access::ReadOnly, error);
    kv830host::HistoryDecoder decoder;
    if (!decoder.load(KV830_SO, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::int64_t end = kStart + 24 * 3600000LL - 1000;
    kv830host::SeriesQuery q;
    q.signal = "1#冷却塔风机频率反馈";
    q.to_ms = end;
    q.from_ms = end - state.range(0) * 1000LL + 1000;
    q.points = 1000;
    kv830host::SeriesResult result;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        if (!kv830host::read_series(store, decoder, q, result)) {
            state.SkipWithError(result.error.c_str());
            return;
        }
    }
    state.counters["rounds"] = static_cast<double>(result.rounds);
    state.counters["points"] = static_cast<double>(result.points.size());
}
BENCHMARK(BM_Series)->Arg(3600)->Arg(86400)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
