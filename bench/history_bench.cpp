// What the history costs and gives: bytes written to storage per record byte at one round
// a second (one transaction per round on a write-ahead log, the policy of long ago, against
// the grouped commits of blocks), the file a month of rounds takes, trends of an hour, a
// week and a month of that file at the page's resolution, and the rate of export.
//
// Bytes written are the kernel's count for this process (/proc/self/io write_bytes): every
// page of the page cache the process dirtied, which is what reaches the medium. Those
// files must be on a disk, not tmpfs (KV830_BENCH_DIR, default the current folder). The
// month's file is written in commits of a minute, as the program writes it, where syncing
// costs nothing: KV830_BENCH_MONTH_DIR, default /dev/shm.
//
// After the runs the program prints each target with PASS or FAIL and exits with 1 when
// one fails (2 when a figure is missing); --no-verdict prints the figures only.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "bench_args.h"
#include "history_export.h"
#include "history_records.h"
#include "history_store.h"
#include "history_trends.h"
#include "history_writer.h"

namespace {

constexpr int kRoundsPerHour = 3600;
constexpr int kMeasuredHours = 8;
constexpr int kMonthDays = 30;
constexpr double kRecordBytes = 576.0;
constexpr std::int64_t kStart = 1765180800000;  // 2025-12-08T08:00:00Z
constexpr std::int64_t kHourMs = 3600LL * 1000;
constexpr std::int64_t kMonthEnd = kStart + std::int64_t{kMonthDays} * 24 * kHourMs;
constexpr const char* kTrendSignal = "1#冷却塔风机频率反馈";
constexpr unsigned kTrendPoints = 1000;

// Targets: the writes of the default commit, the month in the default size cap, trends.
constexpr double kMaxTimesRecord = 1.5;
constexpr double kMaxMonthBytes = 256.0 * 1024 * 1024;
constexpr double kMaxWeekTrendMs = 300.0;
constexpr double kMaxMonthTrendMs = 1000.0;

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

void remove_file(const std::string& path) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        ::unlink((path + suffix).c_str());
    }
}

std::string bench_file(const char* variable, const char* fallback, const char* name) {
    const char* dir = std::getenv(variable);
    std::string path = std::string(dir != nullptr ? dir : fallback) + "/" + name;
    remove_file(path);
    return path;
}

std::string disk_file(const char* name) {
    return bench_file("KV830_BENCH_DIR", ".", name);
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

// The policy of long ago: a write-ahead log synced fully, one transaction per round.
void BM_BytesPerHour_RowPerTransactionWal(benchmark::State& state) {
    const auto records = hour_of_records(kStart);
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        const std::string path = disk_file("history-bench-wal.db");
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
                           " VALUES ('2025-12-08T08:00:00Z', 1, 5156, ?);",
                           -1, &insert, nullptr);
        const long long before = write_bytes();
        for (const auto& r : records) {
            sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
            sqlite3_reset(insert);
            sqlite3_bind_blob(insert, 1, r.data(), static_cast<int>(r.size()), SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
        }
        const long long bytes = write_bytes() - before;
        sqlite3_finalize(insert);
        sqlite3_close(db);
        report(state, bytes, kRoundsPerHour);
        remove_file(path);
    }
}
BENCHMARK(BM_BytesPerHour_RowPerTransactionWal)
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kSecond);

// Commits of `commit_s` seconds' rounds into `store`, the hour starting at `start_ms`; with
// `marked`, each commit also moves a delivery mark to its newest round, as MQTT does while
// the broker takes every round.
void write_hour(kv830host::HistoryStore& store,
                const std::vector<std::vector<unsigned char>>& records, std::int64_t start_ms,
                std::int64_t commit_s, bool marked = false) {
    std::vector<kv830host::RoundToSave> batch;
    std::vector<kv830host::MarkRow> marks;
    std::string error;
    for (int i = 0; i < kRoundsPerHour; ++i) {
        const auto& r = records[static_cast<std::size_t>(i)];
        const std::int64_t t = start_ms + i * 1000LL;
        batch.push_back({1, 5156, t, r.data(), r.size()});
        if (static_cast<std::int64_t>(batch.size()) == commit_s || i + 1 == kRoundsPerHour) {
            marks.clear();
            if (marked) {
                marks.push_back({"mqtt broker.lan:1883", 1, t, 0});
            }
            store.append_batch(batch.data(), batch.size(), marks, t, error);
            batch.clear();
        }
    }
}

// Grouped commits every `commit_s` seconds on a file held at its size limit, so that
// every commit also prunes (the steady state of a plant that runs for months).
void bytes_per_hour(benchmark::State& state, bool marked) {
    const std::int64_t commit_s = state.range(0);
    const auto records = hour_of_records(kStart);
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        const std::string path = disk_file("history-bench-grouped.db");
        kv830host::HistoryStore store;
        std::string error;
        if (!store.open(path, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        kv830host::HistoryPolicy policy;
        policy.max_bytes = 4LL << 20;
        store.set_policy(policy);
        // Fill to the limit first: hours of history until the file stops growing.
        kv830host::HistoryUsage u;
        int hour = 0;
        for (; hour < 400; ++hour) {
            const long long before = store.usage(u, error) ? u.page_count : 0;
            write_hour(store, records, kStart + hour * kHourMs, 60);
            store.usage(u, error);
            if (u.page_count == before && u.file_bytes() >= (policy.max_bytes * 9) / 10) {
                break;
            }
        }
        // Hours enough for several checkpoints of the write-ahead log (one per thousand
        // pages of it, about two hours' worth at 60 s).
        const long long before = write_bytes();
        for (int h = 1; h <= kMeasuredHours; ++h) {
            write_hour(store, records, kStart + (hour + h) * kHourMs, commit_s, marked);
        }
        const long long bytes = write_bytes() - before;
        store.usage(u, error);
        state.counters["file_bytes"] = static_cast<double>(u.file_bytes());
        report(state, bytes, kMeasuredHours * kRoundsPerHour);
        store.close();
        remove_file(path);
    }
}
void BM_BytesPerHour_GroupedCommits(benchmark::State& state) {
    bytes_per_hour(state, false);
}

// The same with MQTT's delivery mark written in every commit.
void BM_BytesPerHour_GroupedCommitsMarked(benchmark::State& state) {
    bytes_per_hour(state, true);
}
BENCHMARK(BM_BytesPerHour_GroupedCommitsMarked)
    ->Arg(60)
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kSecond);

BENCHMARK(BM_BytesPerHour_GroupedCommits)
    ->Arg(10)
    ->Arg(30)
    ->Arg(60)
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kSecond);

// The month's file: 30 days of the plant model at one round a second, in commits of a
// minute as the program writes them, made once per run.
const std::string& month_file() {
    static const std::string path = [] {
        std::string p = bench_file("KV830_BENCH_MONTH_DIR", "/dev/shm", "history-bench-month.db");
        kv830host::HistoryStore store;
        std::string error;
        if (!store.open(p, error)) {
            std::cerr << "history_bench: " << error << std::endl;
            return std::string();
        }
        historytest::RecordMaker maker;
        std::vector<std::vector<unsigned char>> minute(60);
        std::vector<kv830host::RoundToSave> batch(60);
        for (std::int64_t t = kStart; t < kMonthEnd; t += 60000) {
            for (std::size_t i = 0; i < 60; ++i) {
                const std::int64_t at = t + static_cast<std::int64_t>(i) * 1000;
                minute[i] = maker.next(at);
                batch[i] = {1, 5156, at, minute[i].data(), minute[i].size()};
            }
            if (!store.append_batch(batch.data(), batch.size(), t + 60000, error)) {
                std::cerr << "history_bench: " << error << std::endl;
                return std::string();
            }
        }
        return p;
    }();
    return path;
}

void BM_MonthFile(benchmark::State& state) {
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        if (month_file().empty()) {
            state.SkipWithError("the month's file could not be written");
            return;
        }
    }
    struct stat st {};
    ::stat(month_file().c_str(), &st);
    const double hours = kMonthDays * 24.0;
    state.counters["file_bytes"] = static_cast<double>(st.st_size);
    state.counters["bytes_per_hour"] = static_cast<double>(st.st_size) / hours;
    state.counters["bytes_per_round"] = static_cast<double>(st.st_size) / hours / kRoundsPerHour;
}
BENCHMARK(BM_MonthFile)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond);

// The page's trend request: one value signal, 1000 buckets, ending at the file's end.
void BM_Trend(benchmark::State& state) {
    if (month_file().empty()) {
        state.SkipWithError("no month's file");
        return;
    }
    kv830host::HistoryStore store;
    std::string error;
    if (!store.open(month_file(), kv830host::HistoryStore::Access::ReadOnly, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    kv830host::TrendRequest request;
    request.data_id = 1;
    request.signal = kTrendSignal;
    request.to_ms = kMonthEnd - 1;
    request.from_ms = request.to_ms - state.range(0) * 1000LL;
    request.points = kTrendPoints;
    kv830host::TrendAnswer answer;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        answer = kv830host::read_trend(store, request, {});
        if (!answer.ok) {
            state.SkipWithError(answer.refusal.c_str());
            return;
        }
    }
    state.counters["points"] = static_cast<double>(answer.points.size());
}
BENCHMARK(BM_Trend)
    ->Arg(3600)
    ->Arg(std::int64_t{7} * 86400)
    ->Arg(std::int64_t{kMonthDays} * 86400)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// `kv830-host export` of the month's last hour, all signals, to nowhere.
void BM_Export(benchmark::State& state) {
    NullBuffer null;
    std::ostream out(&null);
    std::ostringstream err;
    std::vector<std::string> args = {"export",
                                     "--history",
                                     month_file(),
                                     "--plugin",
                                     KV830_SO,
                                     "--from",
                                     "@" + std::to_string((kMonthEnd - kHourMs) / 1000),
                                     "--format",
                                     state.range(0) == 1 ? "jsonl" : "csv"};
    // 0 and 1: values scaled through the signal model; 2: the register counts.
    if (state.range(0) == 2) {
        args.emplace_back("--raw");
    }
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
// The rate is per second of this process's CPU time (the default of Google Benchmark).
BENCHMARK(BM_Export)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// Keeps each run's figures: medians where there are repetitions, the plain figure else.
class FigureReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type == Run::RT_Aggregate && !median)) {
                continue;
            }
            const std::string name = run.run_name.str();
            if (median || figures_.count(name + ":ms") == 0) {
                figures_[name + ":ms"] = run.GetAdjustedRealTime();
                for (const auto& c : run.counters) {
                    figures_[name + ":" + c.first] = c.second.value;
                }
            }
        }
    }
    double figure(const std::string& key) const {
        const auto it = figures_.find(key);
        return it != figures_.end() ? it->second : -1.0;
    }

  private:
    std::map<std::string, double> figures_;
};

}  // namespace

int main(int argc, char** argv) {
    bool judge = true;
    if (!kv830bench::init_judged_benchmarks(argc, argv, judge)) {
        return 2;
    }
    FigureReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    struct Target {
        const char* name;
        std::string key;
        double limit;
        double scale;
        const char* unit;
    } const targets[] = {
        {"written / record bytes, 60 s commits",
         "BM_BytesPerHour_GroupedCommits/60/iterations:1/repeats:1:times_record",                   kMaxTimesRecord,
         1.0,                                                                                                                              "x"  },
        {"the same with a delivery mark",
         "BM_BytesPerHour_GroupedCommitsMarked/60/iterations:1/repeats:1:times_record",             kMaxTimesRecord,  1.0,                 "x"  },
        {"file of 30 days at one round a second", "BM_MonthFile/iterations:1/repeats:1:file_bytes",
         kMaxMonthBytes,                                                                                              1.0 / (1024 * 1024), "MiB"},
        {"trend of 7 days, 1000 points",          "BM_Trend/604800/real_time:ms",                   kMaxWeekTrendMs,  1.0,
         "ms"                                                                                                                                   },
        {"trend of 30 days, 1000 points",         "BM_Trend/2592000/real_time:ms",                  kMaxMonthTrendMs, 1.0,
         "ms"                                                                                                                                   },
    };
    int failed = 0;
    int missing = 0;
    std::cout << "\nTargets (medians where repeated)\n";
    for (const Target& t : targets) {
        const double value = reporter.figure(t.key);
        std::cout << std::left << std::setw(40) << t.name;
        if (value < 0) {
            std::cout << "  not run\n";
            ++missing;
            continue;
        }
        const bool pass = value <= t.limit;
        failed += pass ? 0 : 1;
        std::cout << std::right << std::fixed << std::setprecision(2) << std::setw(10)
                  << value * t.scale << " " << t.unit << " <= " << t.limit * t.scale << "  "
                  << (judge ? (pass ? "PASS" : "FAIL") : "----") << "\n";
    }
    remove_file(month_file());
    if (!judge) {
        return 0;
    }
    return failed > 0 ? 1 : missing > 0 ? 2 : 0;
}
