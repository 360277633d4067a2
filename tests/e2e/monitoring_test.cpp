// kv830-host in the plant's monitoring stack: each test is one run of the real program
// against the real simulator, publishing to a real mosquitto broker or serving HTTP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "broker.h"
#include "e2e_support.h"

namespace {

using namespace e2e;
using mqtttest::Broker;
using mqtttest::Message;
using mqtttest::Subscriber;

constexpr auto kLong = 60000ms;  // the machine is shared: bounds are generous

std::string unique_prefix(const std::string& test) {
    return "e2e-" + test + "-" + std::to_string(getpid());
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

// The round numbers of PREFIX/cycle messages and of the rounds sent later on
// PREFIX/history, in their order of arrival.
std::vector<long> cycle_numbers(const std::vector<Message>& all, const std::string& prefix,
                                bool completed_only) {
    std::vector<long> numbers;
    for (const Message& m : all) {
        Json::Value v;
        const bool history = m.topic == prefix + "/history";
        if ((m.topic != prefix + "/cycle" && !history) || !parse_json(m.payload, v)) {
            continue;
        }
        if (completed_only && !history && !v["completed"].asBool()) {
            continue;
        }
        numbers.push_back(v["number"].asInt());
    }
    return numbers;
}

struct HttpReply {
    int status = 0;
    std::string body;
};

// One GET over a fresh connection; status 0 when nothing sensible came back.
HttpReply http_get(int port, const std::string& path) {
    HttpReply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return reply;
    }
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return reply;
    }
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return reply;
    }
    std::string text;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const auto head_end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) != 0 || head_end == std::string::npos) {
        return reply;
    }
    char* end = nullptr;
    const long status = std::strtol(text.c_str() + 9, &end, 10);
    if (end != text.c_str() + 12) {
        return reply;
    }
    reply.status = static_cast<int>(status);
    reply.body = text.substr(head_end + 4);
    return reply;
}

class Monitoring : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(broker_.start(error)) << error;
    }

    std::unique_ptr<Subscriber> subscribe(const std::string& topic, const std::string& id = "",
                                          bool persistent = false) {
        auto sub = std::make_unique<Subscriber>(broker_.port(), topic, id, persistent);
        std::string error;
        EXPECT_TRUE(sub->connect(error)) << error;
        return sub;
    }

    std::unique_ptr<Process> start_host(const TempDir& dir, const std::vector<std::string>& args) {
        return std::make_unique<Process>(host_argv(args), dir.file("host.out"),
                                         dir.file("host.err"));
    }

    Broker broker_;
};

TEST_F(Monitoring, SnapshotOnTheTopicIsTheOutputTextOfTheSameCycle) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string prefix = unique_prefix("snapshot");
    const auto sub = subscribe(prefix + "/#");
    const std::string output = dir.file("last.json");
    const HostRun run =
        run_host(dir,
                 {"--tcp", sim.address(), "--mqtt", broker_.url(), "--mqtt-topic", prefix,
                  "--cycles", "3", "--interval", "200ms", "--output", output, "--no-history"},
                 kLong);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(sub->wait_count(prefix + "/snapshot", 3, 20s)) << run.err;
    const std::vector<Message> snapshots = sub->on(prefix + "/snapshot");
    const std::string written = read_file(output);
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(snapshots.back().payload, written);
    // Every cycle's text went out, each a JSON object (the last is the same as --output).
    for (const Message& m : snapshots) {
        Json::Value doc;
        EXPECT_TRUE(parse_json(m.payload, doc) && doc.isObject()) << m.payload;
        EXPECT_FALSE(m.retained);
    }
}

TEST_F(Monitoring, BrokerRestartLosesNoCompletedCycle) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string prefix = unique_prefix("restart");
    // A persistent session: the broker keeps the subscription and queues for it while
    // this subscriber reconnects after the restart.
    const auto sub = subscribe(prefix + "/#", "e2e-restart-" + std::to_string(getpid()), true);
    const auto host =
        start_host(dir, {"--tcp", sim.address(), "--mqtt", broker_.url(), "--mqtt-topic", prefix,
                         "--interval", "300ms", "--mqtt-queue", "100", "--no-history"});
    ASSERT_TRUE(sub->wait_count(prefix + "/cycle", 2, kLong)) << host->err();
    broker_.stop();
    // Several cycles while the broker is away.
    const std::size_t before = cycle_lines(host->err()).size();
    ASSERT_TRUE(wait_until([&] { return cycle_lines(host->err()).size() >= before + 5; }, kLong))
        << host->err();
    const long last_before_stop = static_cast<long>(before);
    std::string error;
    const auto restarted = std::chrono::steady_clock::now();
    ASSERT_TRUE(broker_.start(error)) << error;
    const long restarted_at = cycle_lines(host->err()).back().number;
    // The queued cycles go out once the host is back on the broker, before it is stopped.
    const auto consecutive_past = [&](long last) {
        return [&prefix, last](const std::vector<Message>& all) {
            std::vector<long> got = cycle_numbers(all, prefix, true);
            // A QoS 1 message may come twice around a reconnect; each counts once.
            std::sort(got.begin(), got.end());
            got.erase(std::unique(got.begin(), got.end()), got.end());
            return !got.empty() && got.back() > last && got.front() == 1 &&
                   got.back() == static_cast<long>(got.size());
        };
    };
    ASSERT_TRUE(sub->wait_for(consecutive_past(restarted_at), kLong))
        << ::testing::PrintToString(cycle_numbers(sub->messages(), prefix, true)) << "\n"
        << host->err() << broker_.log();
    // The cycles of the outage did wait: they reached the subscriber only after the restart,
    // on PREFIX/history, the newest of them as the live one.
    std::size_t queued = 0;
    for (const Message& m : sub->messages()) {
        if (m.topic != prefix + "/history" && m.topic != prefix + "/cycle") {
            continue;
        }
        Json::Value v;
        if (parse_json(m.payload, v) && v["number"].asInt() > last_before_stop + 1 &&
            v["number"].asInt() <= last_before_stop + 5 && m.arrived >= restarted) {
            ++queued;
        }
    }
    EXPECT_GE(queued, 4U);
    host->signal(SIGINT);
    ASSERT_EQ(host->wait(kLong), 0) << host->err();
    const std::vector<CycleLine> lines = cycle_lines(host->err());
    std::vector<long> completed;
    for (const CycleLine& c : lines) {
        if (c.failed == 0) {
            completed.push_back(c.number);
        }
    }
    ASSERT_GE(completed.size(), 7U) << host->err();
    std::vector<long> expected;
    for (long n = 1; n <= lines.back().number; ++n) {
        expected.push_back(n);
    }
    EXPECT_EQ(completed, expected) << host->err();
    const auto all_arrived = [&](const std::vector<Message>& all) {
        std::vector<long> got = cycle_numbers(all, prefix, true);
        std::sort(got.begin(), got.end());
        got.erase(std::unique(got.begin(), got.end()), got.end());
        return got == completed;
    };
    EXPECT_TRUE(sub->wait_for(all_arrived, 30s))
        << ::testing::PrintToString(cycle_numbers(sub->messages(), prefix, true)) << "\n"
        << host->err();
}

// The times of the rounds on PREFIX/cycle (completed ones) or PREFIX/history, in their
// order of arrival.
std::vector<std::string> round_times(const std::vector<Message>& all, const std::string& topic) {
    std::vector<std::string> times;
    for (const Message& m : all) {
        Json::Value v;
        if (m.topic == topic && parse_json(m.payload, v) &&
            (!v.isMember("completed") || v["completed"].asBool())) {
            times.push_back(v["time"].asString());
        }
    }
    return times;
}

long completed_cycles(const std::string& err) {
    long n = 0;
    for (const CycleLine& c : cycle_lines(err)) {
        n += c.failed == 0 ? 1 : 0;
    }
    return n;
}

// The broker away longer than the memory queue covers, and the program restarted while it
// is: once it is back every completed round arrives, each once, those that waited on
// PREFIX/history oldest first with their own times, and cycle carries only live rounds.
TEST_F(Monitoring, OutageLongerThanTheQueueWithARestartLosesNothing) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string prefix = unique_prefix("replay");
    const auto sub = subscribe(prefix + "/#", "e2e-replay-" + std::to_string(getpid()), true);
    // The queue holds 3 rounds; the history commits every second.
    const std::vector<std::string> args = {"--tcp",
                                           sim.address(),
                                           "--mqtt",
                                           broker_.url(),
                                           "--mqtt-topic",
                                           prefix,
                                           "--interval",
                                           "200ms",
                                           "--mqtt-queue",
                                           "64KiB",
                                           "--history",
                                           dir.file("h.db"),
                                           "--history-commit",
                                           "1s"};
    const auto received = [&](const std::vector<Message>& all) {
        std::set<std::string> times;
        for (const char* topic : {"/cycle", "/history"}) {
            for (const std::string& t : round_times(all, prefix + topic)) {
                times.insert(t);
            }
        }
        return times;
    };
    auto host = start_host(dir, args);
    ASSERT_TRUE(sub->wait_count(prefix + "/cycle", 2, kLong)) << host->err();
    broker_.stop();
    ASSERT_TRUE(wait_until([&] { return cycle_lines(host->err()).size() >= 14; }, kLong));
    host->signal(SIGTERM);
    ASSERT_EQ(host->wait(kLong), 0) << host->err();
    const long first_run = completed_cycles(host->err());
    EXPECT_NE(host->err().find("kept in the history for the next start"), std::string::npos)
        << host->err();

    host = start_host(dir, args);
    ASSERT_TRUE(wait_until([&] { return cycle_lines(host->err()).size() >= 8; }, kLong));
    std::string error;
    ASSERT_TRUE(broker_.start(error)) << error;
    // Everything of both runs so far, then a clean stop that flushes the rest.
    ASSERT_TRUE(sub->wait_for(
        [&](const std::vector<Message>& all) {
            return static_cast<long>(received(all).size()) >=
                   first_run + completed_cycles(host->err()) - 1;
        },
        kLong))
        << host->err();
    host->signal(SIGINT);
    ASSERT_EQ(host->wait(kLong), 0) << host->err();
    const long all_rounds = first_run + completed_cycles(host->err());
    ASSERT_TRUE(sub->wait_for(
        [&](const std::vector<Message>& all) {
            return static_cast<long>(received(all).size()) == all_rounds;
        },
        30s))
        << received(sub->messages()).size() << " of " << all_rounds << "\n"
        << host->err();
    const std::vector<Message> all = sub->messages();
    const std::vector<std::string> replayed = round_times(all, prefix + "/history");
    const std::vector<std::string> live = round_times(all, prefix + "/cycle");
    // Each once: a message in flight when the broker went may come again, no more.
    EXPECT_LE(replayed.size() + live.size(), static_cast<std::size_t>(all_rounds) + 2);
    EXPECT_GE(replayed.size(), 10U);
    EXPECT_TRUE(std::is_sorted(replayed.begin(), replayed.end()))
        << ::testing::PrintToString(replayed);
    std::vector<std::string> both;
    const std::set<std::string> live_set(live.begin(), live.end());
    for (const std::string& t : replayed) {
        if (live_set.count(t) != 0) {
            both.push_back(t);
        }
    }
    EXPECT_LE(both.size(), 2U) << ::testing::PrintToString(both);
}

// At exit the publisher waits for the broker to take what it holds: a --cycles run reaches
// it every time, or says what fell short and exits 7; a stop by signal, as a service manager
// stops it, exits 0 whatever was still queued, and says so.
TEST_F(Monitoring, ExitWaitsForTheBrokerAndSaysWhatFellShort) {
    struct Row {
        const char* what;
        bool broker;     // the broker is there
        bool by_signal;  // SIGTERM after two cycles instead of --cycles
        int runs;
        int status;
        const char* said;
    };
    // clang-format off
    const Row rows[] = {
        {"--cycles 1 with discovery", true,  false, 5, 0, "mqtt: 1 cycle delivered, 0 not delivered"},
        {"--cycles 2, no broker",     false, false, 1, 7, "mqtt: 0 cycles delivered, 2 not delivered"},
        {"SIGTERM, no broker",        false, true,  1, 0, "mqtt: 0 cycles delivered, "              },
    };
    // clang-format on
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string away = "mqtt://127.0.0.1:" + std::to_string(mqtttest::free_port());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string prefix = unique_prefix("flush");
        const std::string ha = prefix + "/ha";
        const auto sub = subscribe(prefix + "/#");
        std::vector<std::string> args = {"--tcp",
                                         sim.address(),
                                         "--mqtt",
                                         row.broker ? broker_.url() : away,
                                         "--mqtt-topic",
                                         prefix,
                                         "--ha-discovery",
                                         "--ha-prefix",
                                         ha,
                                         "--mqtt-flush-timeout",
                                         "1s",
                                         "--no-history"};
        for (int run = 0; run < row.runs; ++run) {
            int status = -1;
            std::string err;
            if (row.by_signal) {
                args.insert(args.end(), {"--interval", "200ms"});
                const auto host = start_host(dir, args);
                ASSERT_TRUE(host->wait_for_err("cycle 2:", kLong)) << host->err();
                host->signal(SIGTERM);
                status = host->wait(kLong);
                err = host->err();
            } else {
                args.insert(args.end(), {"--cycles", row.broker ? "1" : "2", "--interval", "0"});
                const HostRun done = run_host(dir, args, kLong);
                status = done.status;
                err = done.err;
                args.resize(args.size() - 4);
            }
            EXPECT_EQ(status, row.status) << err;
            EXPECT_NE(err.find(row.said), std::string::npos) << err;
        }
        if (row.broker) {
            // Every run's cycle, snapshot and discovery were taken before it ended.
            EXPECT_EQ(sub->on(prefix + "/cycle").size(), static_cast<std::size_t>(row.runs));
            EXPECT_EQ(sub->on(prefix + "/snapshot").size(), static_cast<std::size_t>(row.runs));
            EXPECT_EQ(sub->on(ha + "/device/kv830_1/config").size(),
                      static_cast<std::size_t>(row.runs));
            EXPECT_TRUE(sub->publish(ha + "/device/kv830_1/config", "", true));
        }
    }
}

TEST_F(Monitoring, KillNineMakesOfflineAppearThroughTheLastWill) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string prefix = unique_prefix("will");
    const auto sub = subscribe(prefix + "/status");
    const auto host =
        start_host(dir, {"--tcp", sim.address(), "--mqtt", broker_.url(), "--mqtt-topic", prefix,
                         "--mqtt-keepalive", "5", "--interval", "500ms", "--no-history"});
    const auto says = [&](const std::string& word) {
        return [&prefix, word](const std::vector<Message>& all) {
            for (const Message& m : all) {
                if (m.topic == prefix + "/status" && m.payload == word) {
                    return true;
                }
            }
            return false;
        };
    };
    ASSERT_TRUE(sub->wait_for(says("online"), kLong)) << host->err();
    EXPECT_FALSE(says("offline")(sub->messages()));
    host->signal(SIGKILL);
    host->wait(10s);
    // The broker notices within one and a half keepalives; the rest is slack for the load.
    EXPECT_TRUE(sub->wait_for(says("offline"), 30s)) << broker_.log();
}

// One POST with a bearer token over a fresh connection.
HttpReply http_post(int port, const std::string& path, const std::string& token,
                    const std::string& body) {
    HttpReply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return reply;
    }
    timeval tv{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "POST " + path +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                "Authorization: Bearer " +
                                token + "\r\nContent-Type: application/json\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return reply;
    }
    std::string text;
    char buf[8192];
    for (ssize_t n = ::recv(fd, buf, sizeof buf, 0); n > 0; n = ::recv(fd, buf, sizeof buf, 0)) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const auto head_end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) == 0 && head_end != std::string::npos) {
        reply.status = std::atoi(text.c_str() + 9);
        reply.body = text.substr(head_end + 4);
    }
    return reply;
}

// The "write register ..." lines of the simulator's log: what reached the controller.
std::multiset<std::string> writes_in(const std::string& log) {
    std::multiset<std::string> out;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t at = line.find("write register");
        if (at != std::string::npos) {
            out.insert(line.substr(at, line.find(' ', line.find('=', at) + 2) - at));
        }
    }
    return out;
}

// Every remote write follows one rule whichever way it comes: the same table of commands
// through MQTT and through HTTP, and only those the rule lets through reach the
// controller, once each.
TEST_F(Monitoring, RemoteWritesFollowOneRuleOverMqttAndHttp) {
    struct Row {
        const char* name;
        std::string command;  // {ID} stands for an id of the path's own
        const char* outcome;  // the beginning of the result's outcome
        const char* reason;   // a part of the reason given
        int http_status;
        const char* lands;  // the write as the controller saw it, or ""
    };
    std::string too_many = R"({"register": 19, "values": [70)";
    for (int i = 0; i < 130; ++i) {
        too_many += ",70";
    }
    too_many += "]}";
    // clang-format off
    const std::vector<Row> rows = {
        {"a setting",              R"({"register": 19, "values": [65]})",       "confirmed", "",                     200, "write register 19 = 65"},
        {"a measured pressure",    R"({"register": 100, "values": [5]})",       "refused",   "register 100 is not",  422, ""},
        {"settings into a reading", R"({"register": 35, "values": [40, 40]})",  "refused",   "register 36 is not",   422, ""},
        {"out of its range",       R"({"register": 19, "values": [1007]})",     "refused",   "100.7 °C",             422, ""},
        {"refused by the controller", R"({"register": 22, "values": [1]})",     "refused",   "exception",            422, "write register 22 = 1"},
        {"a NUL and garbage",      std::string(R"({"register": 19, "values": [66]})") + '\0' + "zz", "refused", "NUL", 400, ""},
        {"not JSON",               R"({"register": 19, "values": [66)",        "refused",   "not valid JSON",       400, ""},
        {"an unknown member",      R"({"register": 19, "values": [66], "x": 1})", "refused", "unknown member",      400, ""},
        {"too many values",        too_many,                                    "refused",   "at most 123",          400, ""},
        {"another device",         R"({"data_id": 7, "register": 19, "values": [66]})", "refused", "7",             422, ""},
        {"a first command id",     R"({"register": 20, "values": [41], "command_id": "{ID}"})", "confirmed", "",     200, "write register 20 = 41"},
        {"the same id again",      R"({"register": 20, "values": [41], "command_id": "{ID}"})", "refused", "carried out before", 422, ""},
    };
    // clang-format on
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen", "--verbose", "--exception-at", "22"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string token = "rule-test-token-4b1e0c77";
    write_file(dir.file("token"), token + "\n");
    ASSERT_EQ(::chmod(dir.file("token").c_str(), 0600), 0);
    const int http_port = testproc::free_tcp_port();
    const std::string prefix = unique_prefix("rule");
    const auto sub = subscribe(prefix + "/#");
    // A command the broker kept from before reaches the program when it subscribes: old
    // news, never acted on.
    ASSERT_TRUE(sub->publish(prefix + "/write", R"({"register": 21, "values": [11]})", true));
    const auto host = start_host(
        dir, {"--tcp", sim.address(), "--mqtt", broker_.url(), "--mqtt-topic", prefix,
              "--mqtt-writes", "--http", "127.0.0.1:" + std::to_string(http_port), "--http-writes",
              "--http-token-file", dir.file("token"), "--interval", "300ms", "--no-history"});
    ASSERT_TRUE(sub->wait_count(prefix + "/cycle", 1, kLong)) << host->err();
    std::multiset<std::string> expected;
    ASSERT_TRUE(sub->wait_count(prefix + "/write/result", 1, kLong)) << host->err();
    std::size_t results = 1;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("mqtt: ") + row.name);
        std::string command = row.command;
        const std::size_t id = command.find("{ID}");
        if (id != std::string::npos) {
            command.replace(id, 4, "mqtt-1");
        }
        ASSERT_TRUE(sub->publish(prefix + "/write", command));
        ASSERT_TRUE(sub->wait_count(prefix + "/write/result", ++results, kLong)) << host->err();
        Json::Value result;
        ASSERT_TRUE(parse_json(sub->on(prefix + "/write/result").back().payload, result));
        EXPECT_EQ(result["outcome"].asString().rfind(row.outcome, 0), 0U)
            << result.toStyledString();
        EXPECT_NE(result["reason"].asString().find(row.reason), std::string::npos)
            << result.toStyledString();
        if (*row.lands != '\0') {
            expected.insert(row.lands);
        }
    }
    Json::Value retained;
    ASSERT_TRUE(parse_json(sub->on(prefix + "/write/result").front().payload, retained));
    EXPECT_NE(retained["reason"].asString().find("retained"), std::string::npos)
        << retained.toStyledString();
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("http: ") + row.name);
        std::string command = row.command;
        const std::size_t id = command.find("{ID}");
        if (id != std::string::npos) {
            command.replace(id, 4, "http-1");
        }
        const HttpReply reply = http_post(http_port, "/api/write", token, command);
        EXPECT_EQ(reply.status, row.http_status) << reply.body;
        Json::Value result;
        ASSERT_TRUE(parse_json(reply.body, result)) << reply.body;
        EXPECT_EQ(result["outcome"].asString().rfind(row.outcome, 0), 0U)
            << result.toStyledString();
        EXPECT_NE(result["reason"].asString().find(row.reason), std::string::npos)
            << result.toStyledString();
        if (*row.lands != '\0') {
            expected.insert(row.lands);
        }
    }
    host->signal(SIGINT);
    EXPECT_EQ(host->wait(kLong), 0) << host->err();
    const std::string err = host->err();
    EXPECT_NE(err.find("write from mqtt: data id 1, register 100, values [5]: refused"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("write from http 127.0.0.1"), std::string::npos) << err;
    ASSERT_EQ(sim.stop(), 0);
    EXPECT_EQ(writes_in(sim.log()), expected) << sim.log();
}

bool promtool_accepts(const TempDir& dir, const std::string& text, std::string& said) {
#ifdef KV830_PROMTOOL
    const std::string file = dir.file("metrics.txt");
    write_file(file, text);
    Process promtool({KV830_PROMTOOL, "check", "metrics"}, dir.file("promtool.out"),
                     dir.file("promtool.err"), file);
    const int status = promtool.wait(std::chrono::seconds(60));
    said = promtool.out() + promtool.err();
    return status == 0;
#else
    (void)dir;
    (void)text;
    (void)said;
    return true;
#endif
}

TEST_F(Monitoring, MetricsPassPromtoolAndHealthTurnsWhenTheSimulatorStops) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const int port = testproc::free_tcp_port();
    const auto host =
        start_host(dir, {"--tcp", sim.address(), "--http", "127.0.0.1:" + std::to_string(port),
                         "--interval", "300ms", "--timeout", "300ms", "--no-history"});
    ASSERT_TRUE(wait_until([&] { return http_get(port, "/healthz").status == 200; }, kLong))
        << host->err();
    ASSERT_TRUE(wait_until([&] { return cycle_lines(host->err()).size() >= 2; }, kLong));
    const HttpReply metrics = http_get(port, "/metrics");
    ASSERT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.body.find("kv830_signal{"), std::string::npos);
    std::string said;
    EXPECT_TRUE(promtool_accepts(dir, metrics.body, said)) << said;

    // The snapshot served is the device's text, the same one standard output ends with.
    const HttpReply snapshot = http_get(port, "/api/snapshot");
    EXPECT_EQ(snapshot.status, 200);
    Json::Value doc;
    EXPECT_TRUE(parse_json(snapshot.body, doc)) << snapshot.body;

    ASSERT_EQ(sim.stop(), 0);
    HttpReply health;
    EXPECT_TRUE(wait_until(
        [&] {
            health = http_get(port, "/healthz");
            return health.status == 503;
        },
        kLong))
        << health.status << " " << health.body;
    EXPECT_GT(health.body.size(), 1U);
    EXPECT_EQ(std::count(health.body.begin(), health.body.end(), '\n'), 1) << health.body;
    host->signal(SIGINT);
    host->wait(kLong);
}

#ifndef KV830_PROMTOOL
TEST(MonitoringTools, Promtool) {
    GTEST_SKIP() << "promtool is not installed: /metrics was checked without it";
}
#endif

}  // namespace

// One alarm's life through every output: a fault bit and a discrete input raised in the
// simulator, acknowledged over HTTP and MQTT, one cleared; the page's API, /metrics, the
// journal's export, and a restart that rebuilds the list instead of raising again.
TEST_F(Monitoring, AlarmLifeReachesEveryOutput) {
    const std::string fault = "螺杆机故障";        // bit 10 of register 214
    const std::string input = "1#冷却塔变频故障";  // discrete input 4
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string token = "alarm-test-token-7d31a9";
    write_file(dir.file("token"), token + "\n");
    ASSERT_EQ(::chmod(dir.file("token").c_str(), 0600), 0);
    const int http_port = testproc::free_tcp_port();
    const std::string prefix = unique_prefix("alarms");
    const auto sub = subscribe(prefix + "/#");
    const std::vector<std::string> args = {"--tcp",
                                           sim.address(),
                                           "--mqtt",
                                           broker_.url(),
                                           "--mqtt-topic",
                                           prefix,
                                           "--mqtt-writes",
                                           "--http",
                                           "127.0.0.1:" + std::to_string(http_port),
                                           "--http-writes",
                                           "--http-token-file",
                                           dir.file("token"),
                                           "--interval",
                                           "300ms",
                                           "--history",
                                           dir.file("h.db"),
                                           "--history-commit",
                                           "1s"};
    auto host = start_host(dir, args);
    ASSERT_TRUE(sub->wait_count(prefix + "/cycle", 1, kLong)) << host->err();
    const auto events_on = [&](const std::string& state) {
        std::vector<std::string> signals;
        for (const Message& m : sub->on(prefix + "/alarm")) {
            Json::Value v;
            if (parse_json(m.payload, v) && v["state"].asString() == state) {
                signals.push_back(v["signal"].asString() + " " + v["by"].asString());
            }
        }
        return signals;
    };
    sim.apply("holding 214 1024\ninput 4 1\n");
    ASSERT_TRUE(wait_until([&] { return events_on("raised").size() == 2; }, kLong)) << host->err();

    EXPECT_EQ(http_post(http_port, "/api/alarms/ack", token,
                        R"({"data_id":1,"signal":")" + fault + R"(","command_id":"h1"})")
                  .status,
              200);
    const HttpReply again =
        http_post(http_port, "/api/alarms/ack", token,
                  R"({"data_id":1,"signal":")" + fault + R"(","command_id":"h1"})");
    EXPECT_EQ(again.status, 422);
    EXPECT_NE(again.body.find("carried out before"), std::string::npos) << again.body;
    ASSERT_TRUE(sub->publish(prefix + "/alarm/ack", R"({"all":true,"command_id":"m1"})"));
    ASSERT_TRUE(sub->wait_count(prefix + "/alarm/ack/result", 1, kLong)) << host->err();
    Json::Value result;
    ASSERT_TRUE(parse_json(sub->on(prefix + "/alarm/ack/result").back().payload, result));
    EXPECT_EQ(result["outcome"].asString(), "acknowledged");
    EXPECT_EQ(result["acknowledged"].asUInt(), 1U);
    EXPECT_EQ(events_on("acknowledged"),
              (std::vector<std::string>{fault + " http 127.0.0.1", input + " mqtt"}));

    sim.apply("input 4 0\n");
    ASSERT_TRUE(wait_until([&] { return events_on("cleared").size() == 1; }, kLong));
    Json::Value listed;
    ASSERT_TRUE(wait_until(
        [&] {
            const auto lists = sub->on(prefix + "/alarms");
            return !lists.empty() && lists.back().retained == false &&
                   parse_json(lists.back().payload, listed) && listed["active"].size() == 1;
        },
        kLong));
    EXPECT_EQ(listed["active"][0]["signal"].asString(), fault);
    EXPECT_TRUE(listed["active"][0]["acknowledged"].asBool());

    const HttpReply api = http_get(http_port, "/api/alarms?data_id=1");
    Json::Value view;
    ASSERT_TRUE(parse_json(api.body, view)) << api.body;
    EXPECT_EQ(view["active"].size(), 1U) << api.body;
    EXPECT_EQ(view["events"].size(), 5U) << api.body;
    const HttpReply metrics = http_get(http_port, "/metrics");
    EXPECT_NE(metrics.body.find("kv830_alarm_active{data_id=\"1\",signal=\"" + fault +
                                "\",priority=\"fault\"} 1"),
              std::string::npos);
    EXPECT_NE(
        metrics.body.find("kv830_alarms_raised_total{data_id=\"1\",signal=\"" + input + "\"} 1"),
        std::string::npos);
    host->signal(SIGINT);
    ASSERT_EQ(host->wait(kLong), 0) << host->err();

    const HostRun exported = run_host(
        dir, {"export", "--history", dir.file("h.db"), "--alarms", "--plugin", KV830_SO}, kLong);
    EXPECT_EQ(exported.status, 0) << exported.err;
    EXPECT_NE(exported.out.find("," + fault + ",fault,acknowledged,http 127.0.0.1\n"),
              std::string::npos)
        << exported.out;
    EXPECT_EQ(std::count(exported.out.begin(), exported.out.end(), '\n'), 6) << exported.out;

    // Restarted on the same history: the fault still stands, acknowledged, and is not
    // raised again.
    const std::size_t raised_before = events_on("raised").size();
    host = start_host(dir, args);
    const std::size_t cycles = sub->on(prefix + "/cycle").size();
    ASSERT_TRUE(sub->wait_count(prefix + "/cycle", cycles + 3, kLong)) << host->err();
    EXPECT_EQ(events_on("raised").size(), raised_before);
    ASSERT_TRUE(parse_json(http_get(http_port, "/api/alarms").body, view));
    ASSERT_EQ(view["active"].size(), 1U);
    EXPECT_TRUE(view["active"][0]["acknowledged"].asBool());
    host->signal(SIGINT);
    EXPECT_EQ(host->wait(kLong), 0) << host->err();
}
