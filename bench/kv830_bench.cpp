// Costs of the plant controller device, each weighed against a baseline timed in the same
// run, so that what is checked is a ratio that holds on a busy machine too.
//
// After the runs the program prints each target's ratio with PASS or FAIL and exits with 1
// if any target fails (2 when a figure is missing). Medians are taken when the run has
// repetitions (--benchmark_repetitions=N), the plain figure otherwise. --no-verdict runs the
// benchmarks and the heap figure without judging them, for a quick check that all run.
//
// Standard output of the device (one line per request and per round) goes to a stream
// that drops it: the figures are the device's own work, the formatting of those lines
// included, but not the terminal's.
#include <benchmark/benchmark.h>
#include <json/value.h>
#include <json/writer.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "bench_args.h"
#include "bench_device.h"

namespace {

using kv830bench::BenchDevice;
using kv830bench::PlainCopies;
using kv830bench::PlantReplies;

const PlantReplies& plant() {
    static const PlantReplies replies;
    return replies;
}

// A device that has run one whole cycle and built its snapshot once.
std::unique_ptr<BenchDevice> primed_device() {
    auto device = std::make_unique<BenchDevice>();
    plant().run_cycle(*device);
    std::vector<char> buffer(kv830bench::kSnapshotBufferBytes);
    kv830bench::request_text(*device, buffer);
    return device;
}

// The same after a second round and its snapshot, which rebuilds the document in place
// and keeps the text with the room of the longest text: what a polling device holds.
std::unique_ptr<BenchDevice> steady_device() {
    auto device = primed_device();
    device->age_snapshot();
    std::vector<char> buffer(kv830bench::kSnapshotBufferBytes);
    kv830bench::request_text(*device, buffer);
    return device;
}

// --- the reply path ------------------------------------------------------------------

void BM_Replies17(benchmark::State& state) {
    auto device = primed_device();
    device->skip_round_done = true;
    const PlantReplies& replies = plant();
    const unsigned long long before = kv830bench::allocation_count();
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        device->rewind_cycle();
        replies.answer(*device);
        benchmark::ClobberMemory();
    }
    const auto allocations = kv830bench::allocation_count() - before;
    state.counters["allocs_per_cycle"] =
        static_cast<double>(allocations) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Replies17);

void BM_Payloads17(benchmark::State& state) {
    auto device = primed_device();
    device->skip_round_done = true;
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        device->payloads_of_cycle();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Payloads17);

void BM_Copies17(benchmark::State& state) {
    PlainCopies plain(plant());
    PlainCopies::Copy* copies = plain.copies;
    unsigned char* record = plain.record;
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        // Hides the sizes from the optimiser, which would otherwise inline small copies
        // that the device makes through the library.
        benchmark::DoNotOptimize(copies);
        for (int s = 0; s < kv830::kPollSteps; ++s) {
            std::memcpy(record + copies[s].offset, copies[s].from, copies[s].size);
        }
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Copies17);

// --- round completion ----------------------------------------------------------------

// No observer: the replacement host's neutral callbacks, the cheapest it has.
void BM_RoundDone(benchmark::State& state) {
    auto device = primed_device();
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        device->RoundDone();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RoundDone);

void BM_RecordCopy(benchmark::State& state) {
    unsigned char from[sizeof(KV830_Data_t)] = {};
    unsigned char to[sizeof(KV830_Data_t)] = {};
    std::size_t size = sizeof to;
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        benchmark::DoNotOptimize(size);
        std::memcpy(to, from, size);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RecordCopy);

// --- the snapshot --------------------------------------------------------------------

void BM_FastWriter(benchmark::State& state) {
    // The device's own document, in place: a copy would lay its members out afresh and
    // serialise faster than the document the device keeps.
    auto device = primed_device();
    const Json::Value& document = device->json_value_;
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        std::string text = Json::FastWriter().write(document);
#pragma GCC diagnostic pop
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_FastWriter);

void BM_Snapshot801_AfterRound(benchmark::State& state) {
    auto device = primed_device();
    std::vector<char> buffer(kv830bench::kSnapshotBufferBytes);
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        device->age_snapshot();
        benchmark::DoNotOptimize(kv830bench::request_text(*device, buffer));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Snapshot801_AfterRound);

void BM_Snapshot801_NoRound(benchmark::State& state) {
    auto device = primed_device();
    std::vector<char> buffer(kv830bench::kSnapshotBufferBytes);
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        benchmark::DoNotOptimize(kv830bench::request_text(*device, buffer));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Snapshot801_NoRound);

void BM_Snapshot803_Rebuild(benchmark::State& state) {
    auto device = primed_device();
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        device->age_snapshot();
        benchmark::DoNotOptimize(kv830bench::request_value(*device));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Snapshot803_Rebuild);

void BM_Snapshot803_NoRebuild(benchmark::State& state) {
    auto device = primed_device();
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        benchmark::DoNotOptimize(kv830bench::request_value(*device));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Snapshot803_NoRebuild);

// --- each cost and its baseline in the same iterations ----------------------------------

// On a machine that others share, two benchmarks timed a few seconds apart can see a
// different machine. Here every iteration times a block of the cost and a block of its
// baseline back to back, in alternating order, on the thread's CPU clock (which leaves
// out time the thread was not running); each block runs for tens of microseconds, so the
// clock's own cost stays below one per cent. Counters: "ratio" of the two per-run costs,
// "cost_ns" and "base_ns".
double thread_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

template <class Cost, class Base>
void paired(benchmark::State& state, int cost_runs, Cost&& cost, int base_runs, Base&& base) {
    double cost_ns = 0;
    double base_ns = 0;
    auto block = [](int runs, const auto& op) {
        const double start = thread_ns();
        for (int i = 0; i < runs; ++i) {
            op();
        }
        benchmark::ClobberMemory();
        return thread_ns() - start;
    };
    bool cost_first = true;
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        if (cost_first) {
            cost_ns += block(cost_runs, cost);
            base_ns += block(base_runs, base);
        } else {
            base_ns += block(base_runs, base);
            cost_ns += block(cost_runs, cost);
        }
        cost_first = !cost_first;
    }
    const auto n = static_cast<double>(state.iterations());
    const double per_cost = cost_ns / (n * cost_runs);
    const double per_base = base_ns / (n * base_runs);
    state.counters["cost_ns"] = per_cost;
    state.counters["base_ns"] = per_base;
    state.counters["ratio"] = per_base > 0 ? per_cost / per_base : 0.0;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void write_alone(const Json::Value& document) {
    std::string text = Json::FastWriter().write(document);
    benchmark::DoNotOptimize(text.data());
}
#pragma GCC diagnostic pop

void BM_Pair_801AfterRound_FastWriter(benchmark::State& state) {
    auto device = primed_device();
    std::vector<char> buffer(kv830bench::kSnapshotBufferBytes);
    paired(
        state, 1,
        [&] {
            device->age_snapshot();
            benchmark::DoNotOptimize(kv830bench::request_text(*device, buffer));
        },
        1, [&] { write_alone(device->json_value_); });
}
BENCHMARK(BM_Pair_801AfterRound_FastWriter);

void BM_Pair_801NoRound_FastWriter(benchmark::State& state) {
    auto device = primed_device();
    std::vector<char> buffer(kv830bench::kSnapshotBufferBytes);
    paired(
        state, 256, [&] { benchmark::DoNotOptimize(kv830bench::request_text(*device, buffer)); }, 1,
        [&] { write_alone(device->json_value_); });
}
BENCHMARK(BM_Pair_801NoRound_FastWriter);

// --- figures outside the timed runs ---------------------------------------------------

struct HeapFigure {
    long long device_bytes = 0;  // one device, two cycles run, its snapshot built after each
    long long left_after_delete = 0;
    long long arena_bytes = 0;  // the same by the allocator's own statistics
    int text_bytes = 0;         // of which the kept snapshot text
    std::size_t text_room = 0;  // and the room kept for it
};

// Every live block's usable size and header: what the device really keeps from the heap.
// One device is made and dropped first, so that one-time buffers of the libraries and
// the snapshot's member order, which all devices share, are not counted against it. The
// allocator's statistics count blocks waiting in its per-thread cache as in use, so they
// are shown beside it but not judged.
HeapFigure measure_heap() {
    primed_device().reset();
    HeapFigure figure;
    std::vector<char> buffer(kv830bench::kSnapshotBufferBytes);
    const long long before = kv830bench::heap_held();
    const auto arena_before = static_cast<long long>(mallinfo2().uordblks);
    auto device = steady_device();
    figure.device_bytes = kv830bench::heap_held() - before;
    figure.arena_bytes = static_cast<long long>(mallinfo2().uordblks) - arena_before;
    figure.text_bytes = kv830bench::request_text(*device, buffer);
    figure.text_room = device->kept_text_room();
    device.reset();
    figure.left_after_delete = kv830bench::heap_held() - before;
    return figure;
}

// Allocations in 1000 whole reply paths; anything but 0 fails the first target.
unsigned long long reply_path_allocations() {
    auto device = primed_device();
    device->skip_round_done = true;
    const unsigned long long before = kv830bench::allocation_count();
    for (int i = 0; i < 1000; ++i) {
        device->rewind_cycle();
        plant().answer(*device);
    }
    return kv830bench::allocation_count() - before;
}

// --- collecting the medians ------------------------------------------------------------

class MedianReporter : public benchmark::ConsoleReporter {
  public:
    explicit MedianReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string name = run.run_name.function_name;
            const double cpu_ns =
                run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    medians_[name] = cpu_ns;
                    for (const auto& named : run.counters) {
                        medians_[name + ":" + named.first] = named.second.value;
                    }
                }
            } else if (!run.error_occurred) {
                singles_[name] = cpu_ns;
                for (const auto& named : run.counters) {
                    singles_[name + ":" + named.first] = named.second.value;
                }
            }
        }
    }

    // A counter of a benchmark, median or plain as above.
    double counter(const std::string& name, const std::string& counter_name) const {
        return ns(name + ":" + counter_name);
    }

    // The median if the run had repetitions, else the last plain figure; negative if the
    // benchmark did not run.
    double ns(const std::string& name) const {
        auto it = medians_.find(name);
        if (it != medians_.end()) {
            return it->second;
        }
        it = singles_.find(name);
        return it != singles_.end() ? it->second : -1.0;
    }

    bool has_medians() const { return !medians_.empty(); }

  private:
    std::map<std::string, double> medians_;
    std::map<std::string, double> singles_;
};

struct Verdicts {
    std::ostream& out;
    bool judge = true;
    int failed = 0;
    int missing = 0;

    void line(const char* name, double value, const char* unit, const char* comparison,
              double limit, bool pass, const std::string& detail) {
        out << std::left << std::setw(44) << name << std::right << std::setw(10) << std::fixed
            << std::setprecision(value < 10 ? 3 : 1) << value << " " << std::setw(3) << unit << " "
            << comparison << " " << std::setprecision(limit < 10 ? 3 : 1) << limit << "  "
            << (judge ? (pass ? "PASS" : "FAIL") : "----") << "   " << detail << "\n";
        if (judge && !pass) {
            ++failed;
        }
    }

    static std::string ns_text(double ns) {
        std::ostringstream text;
        text << std::fixed << std::setprecision(ns < 100 ? 1 : 0) << ns << " ns";
        return text.str();
    }

    // value / base against limit; both medians from the same run.
    void ratio(const char* name, double value_ns, double base_ns, const char* comparison,
               double limit, const char* base_name) {
        if (value_ns < 0 || base_ns <= 0) {
            out << std::left << std::setw(44) << name << "  not run\n";
            ++missing;
            return;
        }
        const double r = value_ns / base_ns;
        const bool pass = comparison[0] == '<' && comparison[1] == '=' ? r <= limit : r < limit;
        line(name, r, "x", comparison, limit, pass,
             ns_text(value_ns) + " / " + ns_text(base_ns) + " (" + base_name + ")");
    }

    // The median of the ratios a paired benchmark measured; the ratio of the two
    // benchmarks timed apart is shown beside it.
    void paired_ratio(const char* name, const MedianReporter& r, const std::string& pair,
                      const char* comparison, double limit, double apart) {
        const double ratio_value = r.counter(pair, "ratio");
        const double cost = r.counter(pair, "cost_ns");
        const double base = r.counter(pair, "base_ns");
        if (ratio_value < 0 || cost < 0 || base <= 0) {
            out << std::left << std::setw(44) << name << "  not run\n";
            ++missing;
            return;
        }
        const bool pass = comparison[0] == '<' && comparison[1] == '=' ? ratio_value <= limit
                                                                       : ratio_value < limit;
        std::ostringstream apart_text;
        apart_text << std::fixed << std::setprecision(apart < 0.1 ? 4 : 2) << apart;
        line(name, ratio_value, "x", comparison, limit, pass,
             ns_text(cost) + " / " + ns_text(base) + " paired; timed apart " +
                 (apart >= 0 ? apart_text.str() : std::string("-")));
    }
};

double separate_ratio(const MedianReporter& reporter, const char* cost, const char* base) {
    const double c = reporter.ns(cost);
    const double b = reporter.ns(base);
    return c >= 0 && b > 0 ? c / b : -1.0;
}

}  // namespace

int main(int argc, char** argv) {
    bool judge = true;
    if (!kv830bench::init_judged_benchmarks(argc, argv, judge)) {
        return 2;
    }

    std::ostream console(std::cout.rdbuf());
    kv830bench::DiscardBuf discard;
    std::cout.rdbuf(&discard);

    MedianReporter reporter(isatty(STDOUT_FILENO) != 0 ? benchmark::ConsoleReporter::OO_Defaults
                                                       : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&console);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const HeapFigure heap = measure_heap();
    const unsigned long long allocations = reply_path_allocations();

    Verdicts v{console};
    v.judge = judge;
    console << "\nTargets ("
            << (reporter.has_medians() ? "medians of CPU time" : "CPU time, no repetitions")
            << "; device output discarded)\n";
    v.line("allocations in 1000 reply paths", static_cast<double>(allocations), "", "==", 0,
           allocations == 0, "every malloc, calloc and realloc of the process counted");
    v.paired_ratio("801 with no round since rebuild / FastWriter", reporter,
                   "BM_Pair_801NoRound_FastWriter", "<=", 0.05,
                   separate_ratio(reporter, "BM_Snapshot801_NoRound", "BM_FastWriter"));
    v.paired_ratio("801 right after a round / FastWriter", reporter,
                   "BM_Pair_801AfterRound_FastWriter", "<=", 0.2,
                   separate_ratio(reporter, "BM_Snapshot801_AfterRound", "BM_FastWriter"));
    const double value_ns = reporter.ns("BM_Snapshot803_NoRebuild");
    if (value_ns < 0) {
        console << std::left << std::setw(44) << "803 with no rebuild"
                << "  not run\n";
        ++v.missing;
    } else {
        v.line("803 with no rebuild", value_ns, "ns", "< ", 100.0, value_ns < 100.0, "absolute");
    }
    v.line("heap of one device, snapshot built (KiB)",
           static_cast<double>(heap.device_bytes) / 1024.0, "KiB", "<=", 64.0,
           heap.device_bytes <= 64LL * 1024,
           std::to_string(heap.device_bytes) + " bytes held (allocator statistics " +
               std::to_string(heap.arena_bytes) + "): the device object " +
               std::to_string(sizeof(KV830)) + ", the text " + std::to_string(heap.text_bytes) +
               " in " + std::to_string(heap.text_room) + ", the document the rest; " +
               std::to_string(heap.left_after_delete) + " left after delete");

    console << "\nFor information\n";
    v.judge = false;
    v.ratio("17 replies of a cycle / 17 plain copies", reporter.ns("BM_Replies17"),
            reporter.ns("BM_Copies17"), "  ", 0, "copies");
    v.ratio("device's share of the 17 replies / copies", reporter.ns("BM_Payloads17"),
            reporter.ns("BM_Copies17"), "  ", 0, "copies");
    v.ratio("round completion / one 576-byte copy", reporter.ns("BM_RoundDone"),
            reporter.ns("BM_RecordCopy"), "  ", 0, "record copy");
    v.ratio("803 with a rebuild / FastWriter", reporter.ns("BM_Snapshot803_Rebuild"),
            reporter.ns("BM_FastWriter"), "  ", 0, "FastWriter");

    if (!judge) {
        console << "\nno verdict asked for\n";
        return 0;
    }
    console << "\n"
            << (v.failed == 0 && v.missing == 0 ? "all targets met" : "targets missed") << ": "
            << v.failed << " failed, " << v.missing << " not run\n";
    if (v.missing > 0 && v.failed == 0) {
        return 2;
    }
    return v.failed == 0 ? 0 : 1;
}
