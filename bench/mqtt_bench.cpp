// What the polling thread pays to hand a cycle to the MQTT publisher, and what the network
// thread pays to check a write command. The publisher here has no broker to reach (a
// closed loopback port), so the queue stays at its bound and every submit also drops one.
#include <benchmark/benchmark.h>
#include <json/value.h>
#include <json/writer.h>
#include <malloc.h>

#include <string>

#include "kv830_signals.h"
#include "mqtt_messages.h"
#include "mqtt_publisher.h"
#include "process.h"
#include "write_command.h"

namespace {

kv830host::RoundPtr full_report() {
    Json::Value doc(Json::objectValue);
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        doc[kv830::kSignals[i].key] = static_cast<double>(i);
    }
    doc[kv830::kUpdateTimeKey] = "2026-12-8 8:7:9";
    auto r = std::make_shared<kv830host::Round>();
    r->data_id = 1;
    r->number = 1;
    r->completed = true;
    r->counters[kv830host::RoundCounter::Answered] = 17;
    r->snapshot = Json::FastWriter().write(doc);
    return r;
}

void BM_SubmitWhileBrokerAway(benchmark::State& state) {
    kv830host::MqttSettings settings;
    settings.url = "mqtt://127.0.0.1:" + std::to_string(testproc::free_tcp_port());
    kv830host::MqttConfig config;
    std::string error;
    kv830host::check_mqtt_settings(settings, 1, 1.0, "bench", config, error);
    config.queue_rounds = 600;
    kv830host::MqttPublisher publisher(config);
    publisher.set_log([](const std::string&) {});
    publisher.start(error);
    const kv830host::RoundPtr report = full_report();
    // The loop variable is the library's iteration token, never read.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        publisher.submit(report);
    }
    state.counters["snapshot_bytes"] = static_cast<double>(report->snapshot.size());
    publisher.stop();
}
BENCHMARK(BM_SubmitWhileBrokerAway);

// The memory a full queue holds at the default bound (16 MiB): rounds of their own, each
// with a snapshot of the plant model's size, submitted while the broker is away until the
// queue lets the oldest go. Heap in use as the allocator counts it, beside what the queue
// counts itself (kv830_mqtt_queue_bytes).
void BM_FullQueueMemory(benchmark::State& state) {
    kv830host::MqttSettings settings;
    settings.url = "mqtt://127.0.0.1:" + std::to_string(testproc::free_tcp_port());
    kv830host::MqttConfig config;
    std::string error;
    kv830host::check_mqtt_settings(settings, 1, 1.0, "bench", config, error);
    config.flush_timeout_s = 0.0;
    const kv830host::RoundPtr model = full_report();
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        const std::size_t heap_before = mallinfo2().uordblks;
        {
            kv830host::MqttPublisher publisher(config);
            publisher.set_log([](const std::string&) {});
            publisher.start(error);
            std::size_t rounds = 0;
            while (publisher.counters().dropped < 100) {
                auto round = std::make_shared<kv830host::Round>(*model);
                round->number = ++rounds;
                round->snapshot.shrink_to_fit();
                publisher.submit(round);
            }
            const kv830host::MqttCounters c = publisher.counters();
            state.counters["rounds_held"] = static_cast<double>(c.queue_depth);
            state.counters["queue_bytes_counted"] = static_cast<double>(c.queue_bytes);
            state.counters["heap_bytes"] = static_cast<double>(mallinfo2().uordblks - heap_before);
            state.counters["snapshot_bytes"] = static_cast<double>(model->snapshot.size());
            publisher.stop();
        }
    }
}
BENCHMARK(BM_FullQueueMemory)->Iterations(1);

void BM_CheckWriteCommand(benchmark::State& state) {
    const std::string payload = R"({"register": 23, "values": [1, 2, 3, 4]})";
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        kv830host::RemoteWrite command;
        std::string error;
        benchmark::DoNotOptimize(kv830host::parse_write_command(payload, command, error));
    }
}
BENCHMARK(BM_CheckWriteCommand);

}  // namespace

BENCHMARK_MAIN();
