// Requests per second of the HTTP server's scrape and snapshot endpoints while a thread
// feeds a completed cycle every second, as the polling loop does. Each benchmark thread
// is one keep-alive client; items per second is the request rate.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <json/value.h>
#include <json/writer.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "http_server.h"
#include "kv830_signals.h"
#include "plant_state.h"

namespace {

std::string snapshot_text(unsigned seed) {
    Json::Value doc(Json::objectValue);
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        const unsigned v = static_cast<unsigned>(i) * 31U + seed;
        if (row.kind == kv830::SignalKind::Enum) {
            doc[row.key] = v % 2 == 0 ? row.text0 : row.text1;
        } else if (row.kind == kv830::SignalKind::Bit) {
            doc[row.key] = static_cast<int>(v % 2);
        } else {
            doc[row.key] = static_cast<double>(v % 1000);
        }
    }
    doc[kv830::kUpdateTimeKey] = "2026-12-8 8:0:0";
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, doc);
}

// One server and its 1 Hz feeder for the whole program.
struct Plant {
    Plant() : server(state) {
        std::string error;
        if (!server.start("127.0.0.1", 0, error)) {
            (void)std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
        feed(1);
        feeder = std::thread([this] {
            unsigned long long n = 2;
            while (!stopping) {
                for (int i = 0; i < 100 && !stopping; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                feed(n++);
            }
        });
    }
    ~Plant() {
        stopping = true;
        feeder.join();
        server.stop();
    }
    void feed(unsigned long long n) {
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        kv830host::Round r;
        r.data_id = 1;
        r.number = n;
        r.completed = true;
        r.duration_s = 0.96;
        r.counters[kv830host::RoundCounter::Answered] = 17;
        r.end_unix_ms = now;
        r.last_completed_unix_ms = now;
        r.snapshot = snapshot_text(static_cast<unsigned>(n));
        state.on_round(r);
    }
    kv830host::PlantState state{1.0};
    kv830host::HttpServer server;
    std::atomic<bool> stopping{false};
    std::thread feeder;
};

Plant& plant() {
    static Plant p;
    return p;
}

void get_loop(benchmark::State& st, const char* path, bool compressed) {
    httplib::Client client("127.0.0.1", plant().server.port());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    httplib::Headers headers;
    if (!compressed) {
        headers.emplace("Accept-Encoding", "identity");
    }
    std::size_t bytes = 0;
    // The loop variable is the library's iteration token, never read.
    for (auto _ : st) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        auto r = client.Get(path, headers);
        if (!r || r->status != 200) {
            st.SkipWithError("request failed");
            break;
        }
        bytes += r->body.size();
    }
    st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()));
    st.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_Metrics(benchmark::State& st) {
    get_loop(st, "/metrics", false);
}
void BM_MetricsGzip(benchmark::State& st) {
    get_loop(st, "/metrics", true);
}
void BM_Snapshot(benchmark::State& st) {
    get_loop(st, "/api/snapshot", false);
}
void BM_Status(benchmark::State& st) {
    get_loop(st, "/api/status", false);
}

// The polling thread's cost of handing a cycle over while clients scrape and read the
// snapshot as fast as they can: a copy of the text and a short lock, never a wait.
void BM_OnCycleUnderLoad(benchmark::State& st) {
    Plant& p = plant();
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (const char* path : {"/metrics", "/api/snapshot", "/api/status"}) {
        clients.emplace_back([&p, &done, path] {
            httplib::Client client("127.0.0.1", p.server.port());
            client.set_tcp_nodelay(true);
            while (!done) {
                client.Get(path);
            }
        });
    }
    kv830host::Round r;
    r.data_id = 2;
    r.completed = true;
    r.snapshot = snapshot_text(7);
    r.end_unix_ms = r.last_completed_unix_ms = 1;
    double worst_ns = 0.0;
    for (auto _ : st) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        ++r.number;
        const auto t0 = std::chrono::steady_clock::now();
        p.state.on_round(r);
        const double ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        worst_ns = std::max(worst_ns, ns);
    }
    done = true;
    for (auto& t : clients) {
        t.join();
    }
    st.counters["worst_ns"] = worst_ns;
}

BENCHMARK(BM_OnCycleUnderLoad)->UseRealTime();

BENCHMARK(BM_Metrics)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK(BM_MetricsGzip)->UseRealTime()->Threads(1);
BENCHMARK(BM_Snapshot)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK(BM_Status)->UseRealTime()->Threads(1);

}  // namespace

BENCHMARK_MAIN();
