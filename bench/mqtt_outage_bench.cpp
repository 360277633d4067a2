// Store and forward measured against a real mosquitto, with the real programs: kv830-host
// polling plant-sim, a broker that goes away, a subscriber that counts what arrives on
// PREFIX/cycle and PREFIX/history. Not a test: it reports figures and judges the targets.
//
//   kv830_mqtt_outage_bench day [--replay-rate N]
//       A 24-hour outage at one round a second: a history filled with 86,400 rounds after
//       the delivery mark, the program restarted twice while the broker is away, then the
//       broker back. Reports the time to deliver the backlog at the replay rate (target:
//       15 minutes), the delay of the live rounds during the replay (target: 100 ms), and
//       the rounds missing and duplicated.
//   kv830_mqtt_outage_bench fleet [--gateways N] [--outage S] [--queue SIZE]
//       N gateways (20), each a kv830-host polling its own plant-sim with a history of its
//       own, publishing to one broker that stops for S seconds (120) with a small memory
//       queue (64KiB), so that the history has to fill the gap. Reports rounds sent,
//       received, duplicated and missing, and the time to catch up.
//
// Both run in a few minutes' to a quarter of an hour's wall time; `make bench-mqtt-outage`
// and `make bench-mqtt-fleet` build and run them.
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "history_store.h"
#include "process.h"
#include "time_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRecordType = 5156;
constexpr std::int64_t kDayRounds = 86400;
constexpr double kCatchUpTargetS = 15.0 * 60.0;
constexpr double kLiveDelayTargetMs = 100.0;
// The restarts during the outage: each polls this many rounds with the broker away.
constexpr int kRestartRounds = 10;

std::int64_t wall_ms() {
    return kv830host::wall_clock_ms();
}

// "2026-12-08T07:31:49.123Z" as milliseconds since 1970; -1 for anything else.
std::int64_t parse_utc(const std::string& text) {
    std::int64_t ms = -1;
    std::string error;
    return kv830host::parse_time(text, 0, ms, error) ? ms : -1;
}

// What arrived, without the payloads: a day of snapshots would not fit in memory.
struct Arrival {
    std::string gateway;  // the topic's second level
    bool history = false;
    std::int64_t round_ms = 0;
    std::int64_t arrived_ms = 0;
};

// A libmosquitto client with a persistent session, so that nothing sent while it
// reconnects after the broker's restart is lost to the count.
class Counter {
  public:
    Counter(int port, std::string topic) : port_(port), topic_(std::move(topic)) {
        mosq_ = mosquitto_new(("outage-bench-" + std::to_string(getpid())).c_str(), false, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, static_cast<Counter*>(self)->topic_.c_str(), 1);
            }
        });
        mosquitto_message_callback_set(mosq_,
                                       [](mosquitto*, void* self, const mosquitto_message* m) {
                                           static_cast<Counter*>(self)->take(m);
                                       });
    }
    ~Counter() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    Counter(const Counter&) = delete;
    Counter& operator=(const Counter&) = delete;

    bool start() {
        mosquitto_reconnect_delay_set(mosq_, 1, 2, false);
        return mosquitto_connect(mosq_, "127.0.0.1", port_, 30) == MOSQ_ERR_SUCCESS &&
               mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
    }
    std::vector<Arrival> arrivals() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }

  private:
    void take(const mosquitto_message* m) {
        const std::string topic = m->topic != nullptr ? m->topic : "";
        const auto first = topic.find('/');
        const auto second = topic.find('/', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            return;
        }
        const std::string kind = topic.substr(second + 1);
        if (kind != "cycle" && kind != "history") {
            return;
        }
        const std::string payload(static_cast<const char*>(m->payload),
                                  static_cast<std::size_t>(m->payloadlen));
        // The cycle's members are in name order, the history message's fixed: "time" is
        // the first of that name in both.
        const auto at = payload.find("\"time\":\"");
        if (at == std::string::npos ||
            (kind == "cycle" && payload.find("\"completed\":true") == std::string::npos)) {
            return;
        }
        Arrival a;
        a.gateway = topic.substr(first + 1, second - first - 1);
        a.history = kind == "history";
        a.round_ms = parse_utc(payload.substr(at + 8, 24));
        a.arrived_ms = wall_ms();
        const std::lock_guard<std::mutex> lock(mutex_);
        arrivals_.push_back(a);
    }

    int port_;
    std::string topic_;
    mosquitto* mosq_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<Arrival> arrivals_;
};

std::vector<std::string> host_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KV830_HOST_BIN, "--plugin", KV830_SO};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// The rounds of a history file after `after_ms`, as the program saved them.
std::vector<std::int64_t> stored_times(const std::string& file, std::int64_t after_ms) {
    kv830host::HistoryStore store;
    std::string error;
    std::vector<std::int64_t> times;
    if (!store.open(file, kv830host::HistoryStore::Access::ReadOnly, error)) {
        std::cerr << error << "\n";
        return times;
    }
    kv830host::RoundQuery query;
    query.from_ms = after_ms + 1;
    store.read_rounds(
        query,
        [&](const kv830host::StoredRound& r) {
            times.push_back(r.unix_ms);
            return true;
        },
        error);
    return times;
}

struct Tally {
    std::size_t sent = 0;
    std::size_t received = 0;  // distinct rounds
    std::size_t duplicated = 0;
    std::size_t missing = 0;
    std::size_t unknown = 0;  // arrived, not in the file
};

Tally tally(const std::vector<std::int64_t>& sent, const std::vector<Arrival>& arrivals,
            const std::string& gateway) {
    Tally t;
    const std::set<std::int64_t> expected(sent.begin(), sent.end());
    std::map<std::int64_t, int> got;
    for (const Arrival& a : arrivals) {
        if (a.gateway == gateway) {
            ++got[a.round_ms];
        }
    }
    t.sent = expected.size();
    for (const auto& [ms, n] : got) {
        if (expected.count(ms) != 0) {
            ++t.received;
        } else {
            ++t.unknown;
        }
        t.duplicated += static_cast<std::size_t>(n - 1);
    }
    for (const std::int64_t ms : expected) {
        t.missing += got.count(ms) == 0 ? 1U : 0U;
    }
    return t;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0.0;
    }
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

std::string option_value(int argc, char** argv, const std::string& name, const std::string& def) {
    for (int i = 2; i + 1 < argc; ++i) {
        if (argv[i] == "--" + name) {
            return argv[i + 1];
        }
    }
    return def;
}

// A real record of the device, from a short run against the simulator.
std::vector<unsigned char> real_record(const testproc::TempDir& dir, const std::string& sim) {
    const std::string file = dir.file("one.db");
    testproc::Process once(host_argv({"--tcp", sim, "--cycles", "1", "--history", file}),
                           dir.file("one.out"), dir.file("one.err"));
    once.wait(30s);
    kv830host::HistoryStore store;
    std::string error;
    kv830host::StoredRound round;
    if (!store.open(file, kv830host::HistoryStore::Access::ReadOnly, error) ||
        !store.newest_round(1, kRecordType, 0, round, error)) {
        std::cerr << "no record from the simulator: " << error << "\n";
    }
    return round.record;
}

int run_day(int argc, char** argv) {
    const std::string rate = option_value(argc, argv, "replay-rate", "150");
    testproc::TempDir dir("kv830-outage-day");
    mqtttest::Broker broker;
    testproc::ServerProcess sim({PLANT_SIM_BIN, "--tcp", "0", "--seconds", "100000"});
    if (sim.address().empty()) {
        std::cerr << "plant-sim did not start\n";
        return 1;
    }
    const std::vector<unsigned char> record = real_record(dir, sim.address());
    if (record.empty()) {
        return 1;
    }
    // A day of rounds after the mark, ending just before the restarts.
    const std::string file = dir.file("h.db");
    const std::int64_t end = wall_ms() - 1000;
    const std::int64_t first = end - kDayRounds * 1000;
    const std::int64_t mark = first - 1;
    const std::string consumer = "mqtt 127.0.0.1:" + std::to_string(broker.port());
    {
        kv830host::HistoryStore store;
        std::string error;
        if (!store.open(file, error)) {
            std::cerr << error << "\n";
            return 1;
        }
        std::vector<std::vector<unsigned char>> records(3600, record);
        std::vector<kv830host::RoundToSave> batch;
        for (std::int64_t i = 0; i < kDayRounds; ++i) {
            auto& r = records[static_cast<std::size_t>(i % 3600)];
            // A few words move, as a plant's would.
            r[100] = static_cast<unsigned char>(i);
            r[101] = static_cast<unsigned char>(i >> 8);
            batch.push_back({1, kRecordType, first + i * 1000, r.data(), r.size()});
            if (batch.size() == 3600) {
                const std::vector<kv830host::MarkRow> marks = {
                    {consumer, 1, mark, 0}
                };
                if (!store.append_batch(batch.data(), batch.size(),
                                        i < 3600 ? marks : std::vector<kv830host::MarkRow>{},
                                        batch.back().unix_ms, error)) {
                    std::cerr << error << "\n";
                    return 1;
                }
                batch.clear();
            }
        }
    }
    const std::vector<std::string> args = {"--tcp",
                                           sim.address(),
                                           "--mqtt",
                                           "mqtt://127.0.0.1:" + std::to_string(broker.port()),
                                           "--mqtt-topic",
                                           "day/gw",
                                           "--history",
                                           file,
                                           "--mqtt-replay-rate",
                                           rate};
    // Two restarts while the broker is away, each polling for a while.
    for (int restart = 1; restart <= 2; ++restart) {
        std::vector<std::string> a = args;
        a.insert(a.end(),
                 {"--cycles", std::to_string(kRestartRounds), "--mqtt-flush-timeout", "0"});
        testproc::Process host(host_argv(a), dir.file("restart.out"), dir.file("restart.err"));
        host.wait(60s);
    }
    std::string error;
    if (!broker.start(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    Counter counter(broker.port(), "day/#");
    if (!counter.start()) {
        std::cerr << "the subscriber could not connect\n";
        return 1;
    }
    std::this_thread::sleep_for(500ms);
    const std::int64_t back = wall_ms();
    testproc::Process host(host_argv(args), dir.file("host.out"), dir.file("host.err"));
    const std::vector<std::int64_t> backlog = stored_times(file, mark);
    const std::int64_t backlog_end = backlog.empty() ? mark : backlog.back();
    // Delivered when every round of the backlog has arrived.
    std::int64_t caught_up = 0;
    const auto deadline = Clock::now() + std::chrono::minutes(30);
    while (Clock::now() < deadline && caught_up == 0) {
        std::this_thread::sleep_for(2s);
        std::set<std::int64_t> got;
        std::int64_t last = 0;
        for (const Arrival& a : counter.arrivals()) {
            if (a.round_ms <= backlog_end) {
                got.insert(a.round_ms);
                last = std::max(last, a.arrived_ms);
            }
        }
        if (got.size() >= backlog.size()) {
            caught_up = last;
        }
    }
    // Live rounds a while after, for the delay without a replay beside them.
    std::this_thread::sleep_for(15s);
    host.signal(SIGTERM);
    host.wait(30s);
    std::this_thread::sleep_for(1s);
    const std::vector<Arrival> arrivals = counter.arrivals();
    const Tally t = tally(stored_times(file, mark), arrivals, "gw");
    std::vector<double> during;
    std::vector<double> after;
    for (const Arrival& a : arrivals) {
        if (!a.history && a.round_ms > backlog_end) {
            (caught_up == 0 || a.arrived_ms <= caught_up ? during : after)
                .push_back(static_cast<double>(a.arrived_ms - a.round_ms));
        }
    }
    const double catch_up_s =
        caught_up != 0 ? static_cast<double>(caught_up - back) / 1000.0 : -1.0;
    std::cout << std::fixed << std::setprecision(1)
              << "24-hour outage at one round a second, replay rate " << rate << "/s\n"
              << "  backlog (after the mark, before the broker's return): " << backlog.size()
              << " rounds, " << kDayRounds << " filled + " << backlog.size() - kDayRounds
              << " from 2 restarts during the outage\n"
              << "  delivered within: " << catch_up_s << " s of the broker's return (target "
              << kCatchUpTargetS << " s)\n"
              << "  live rounds during the replay: " << during.size() << ", delay median "
              << percentile(during, 0.5) << " ms, p99 " << percentile(during, 0.99) << " ms, max "
              << percentile(during, 1.0) << " ms (target " << kLiveDelayTargetMs << " ms)\n"
              << "  live rounds after it: " << after.size() << ", delay median "
              << percentile(after, 0.5) << " ms, max " << percentile(after, 1.0) << " ms\n"
              << "  rounds sent " << t.sent << ", received " << t.received << ", duplicated "
              << t.duplicated << ", missing " << t.missing << "\n";
    const bool pass = catch_up_s >= 0 && catch_up_s <= kCatchUpTargetS && t.missing == 0 &&
                      percentile(during, 1.0) <= kLiveDelayTargetMs;
    std::cout << (pass ? "PASS" : "FAIL") << "\n";
    return pass ? 0 : 1;
}

int run_fleet(int argc, char** argv) {
    const int gateways = std::stoi(option_value(argc, argv, "gateways", "20"));
    const int outage_s = std::stoi(option_value(argc, argv, "outage", "120"));
    const std::string queue = option_value(argc, argv, "queue", "64KiB");
    testproc::TempDir dir("kv830-outage-fleet");
    mqtttest::Broker broker;
    std::string error;
    if (!broker.start(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    Counter counter(broker.port(), "fleet/#");
    if (!counter.start()) {
        std::cerr << "the subscriber could not connect\n";
        return 1;
    }
    std::vector<std::unique_ptr<testproc::ServerProcess>> sims;
    std::vector<std::unique_ptr<testproc::Process>> hosts;
    for (int i = 1; i <= gateways; ++i) {
        sims.push_back(std::make_unique<testproc::ServerProcess>(
            std::vector<std::string>{PLANT_SIM_BIN, "--tcp", "0", "--seconds", "100000"}));
        const std::string name = "gw" + std::to_string(i);
        hosts.push_back(std::make_unique<testproc::Process>(
            host_argv({"--tcp", sims.back()->address(), "--node-id", name, "--mqtt",
                       "mqtt://127.0.0.1:" + std::to_string(broker.port()), "--mqtt-topic",
                       "fleet/" + name, "--mqtt-queue", queue, "--history",
                       dir.file(name + ".db")}),
            dir.file(name + ".out"), dir.file(name + ".err")));
    }
    std::this_thread::sleep_for(20s);
    broker.stop();
    const std::int64_t away = wall_ms();
    std::this_thread::sleep_for(std::chrono::seconds(outage_s));
    if (!broker.start(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    const std::int64_t back = wall_ms();
    // Caught up when every gateway's rounds up to the broker's return have arrived: the
    // history's commit every 60 s puts the last of them on file within a minute.
    std::this_thread::sleep_for(90s);
    for (auto& host : hosts) {
        host->signal(SIGTERM);
    }
    for (auto& host : hosts) {
        host->wait(30s);
    }
    std::this_thread::sleep_for(2s);
    const std::vector<Arrival> arrivals = counter.arrivals();
    Tally all;
    std::int64_t caught_up = back;
    for (int i = 1; i <= gateways; ++i) {
        const std::string name = "gw" + std::to_string(i);
        const std::vector<std::int64_t> sent = stored_times(dir.file(name + ".db"), 0);
        const Tally t = tally(sent, arrivals, name);
        all.sent += t.sent;
        all.received += t.received;
        all.duplicated += t.duplicated;
        all.missing += t.missing;
        all.unknown += t.unknown;
        for (const Arrival& a : arrivals) {
            if (a.gateway == name && a.round_ms < back) {
                caught_up = std::max(caught_up, a.arrived_ms);
            }
        }
    }
    std::cout << gateways << " gateways, broker away " << (back - away) / 1000
              << " s, memory queue " << queue << "\n"
              << "  rounds sent " << all.sent << ", received " << all.received << ", duplicated "
              << all.duplicated << ", missing " << all.missing << ", unknown " << all.unknown
              << "\n"
              << "  caught up " << std::fixed << std::setprecision(1)
              << static_cast<double>(caught_up - back) / 1000.0
              << " s after the broker's return (the last round from before it)\n";
    const bool pass = all.missing == 0 && all.unknown == 0;
    std::cout << (pass ? "PASS" : "FAIL") << "\n";
    return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    mosquitto_lib_init();
    const std::string scenario = argc > 1 ? argv[1] : "";
    int status = 2;
    if (scenario == "day") {
        status = run_day(argc, argv);
    } else if (scenario == "fleet") {
        status = run_fleet(argc, argv);
    } else {
        std::cerr
            << "usage: kv830_mqtt_outage_bench day [--replay-rate N]\n"
               "       kv830_mqtt_outage_bench fleet [--gateways N] [--outage S] [--queue SIZE]\n";
    }
    mosquitto_lib_cleanup();
    return status;
}
