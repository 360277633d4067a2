// Several controllers in one program, in-process: the "devices" list of the settings file
// refused before any link opens, and real plant-sim processes polled over shared and
// separate lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history_store.h"
#include "notify_listener.h"
#include "process.h"
#include "program.h"
#include "program_support.h"

namespace kv830host {
namespace {

using namespace std::chrono_literals;
using programtest::ProgramRun;
using programtest::run_program;
using programtest::Sim;
using testproc::TempDir;

// A TCP port that listens but is never served: a link that opened would show up as a
// connection waiting to be accepted.
class Listener {
  public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), size) == 0 &&
            ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
            address_ = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        }
    }
    ~Listener() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    const std::string& address() const { return address_; }
    bool connected() {
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return false;
        }
        ::close(client);
        return true;
    }

  private:
    int fd_ = -1;
    std::string address_;
};

std::vector<const Round*> reports_of(const ProgramRun& run, unsigned data_id) {
    std::vector<const Round*> out;
    for (const Round& r : run.reports) {
        if (r.data_id == data_id) {
            out.push_back(&r);
        }
    }
    return out;
}

std::string tcp_device(unsigned data_id, const std::string& address, int unit,
                       const std::string& more = "") {
    return R"({"data_id": )" + std::to_string(data_id) + R"(, "modbus": {"tcp": ")" + address +
           R"(", "slave": )" + std::to_string(unit) + more + "}}";
}

std::string serial_device(unsigned data_id, const std::string& path, int slave,
                          const std::string& more = "") {
    return R"({"data_id": )" + std::to_string(data_id) + R"(, "modbus": {"device": ")" + path +
           R"(", "slave": )" + std::to_string(slave) + more + "}}";
}

std::string device_list(const std::vector<std::string>& entries) {
    std::string text = R"({"devices": [)";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        text += (i == 0 ? "" : ", ") + entries[i];
    }
    return text + "]}";
}

// Every status line is whole: it starts with a device's prefix, the program's name or the
// link's, never inside another line.
void expect_whole_lines(const std::string& text, const std::vector<unsigned>& ids) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        bool whole = line.rfind("kv830-host: ", 0) == 0 || line.rfind("link: ", 0) == 0;
        for (const unsigned id : ids) {
            whole = whole || line.rfind("[" + std::to_string(id) + "] ", 0) == 0;
        }
        EXPECT_TRUE(whole) << line;
    }
}

class DevicesTest : public programtest::ProgramFixture {
  protected:
    std::string settings(const std::string& text) {
        std::string file = dir_.file("settings-" + std::to_string(++files_) + ".json");
        testproc::write_file(file, text);
        return file;
    }
    int files_ = 0;
};

// Each refusal names what is wrong, ends with status 2 and opens no link: the listener
// that every row's good entries point at is never connected to, and the serial path
// that does not exist is never reported as missing.
TEST_F(DevicesTest, BadListsAreRefusedBeforeAnyLinkOpens) {
    Listener listener;
    ASSERT_FALSE(listener.address().empty());
    const std::string tcp = listener.address();
    const std::string tty = dir_.file("no-such-tty");
    const std::string good = tcp_device(1, tcp, 1);
    struct Row {
        std::string document;
        std::vector<std::string> args;
        std::string message;
    };
    const Row rows[] = {
        {R"({"devices": {}})",                                                                              {},                  "\"devices\" must be a non-empty array of objects"},
        {R"({"devices": []})",                                                                              {},                  "\"devices\" must be a non-empty array of objects"},
        {R"({"devices": [1]})",                                                                             {},                  "devices[0]: must be an object"                   },
        {device_list(
             {good, R"({"data_id": 2, "modbus": {"tcp": ")" + tcp + R"("}, "appSettings": {}})"}),
         {},
         R"(devices[1]: unknown member "appSettings" (did you mean "appSetting"?))"                                                                                                },
        {device_list({good, tcp_device(1, tcp, 2)}),
         {},
         "devices[1]: data id 1 is already that of devices[0]"                                                                                                                     },
        {device_list({tcp_device(4294967295U, tcp, 1),
                      R"({"data_id": 4294967296, "modbus": {"tcp": ")" + tcp + R"("}})"}),
         {},
         "devices[1]: \"data_id\" must be an integer from 0 to 4294967295"                                                                                                         },
        {device_list({R"({"data_id": -1, "modbus": {"tcp": ")" + tcp + R"("}})"}),
         {},
         "devices[0]: \"data_id\" must be"                                                                                                                                         },
        {device_list({R"({"data_id": "2", "modbus": {"tcp": ")" + tcp + R"("}})"}),
         {},
         "devices[0]: \"data_id\" must be"                                                                                                                                         },
        {device_list({R"({"modbus": {"tcp": ")" + tcp + R"("}})"}),
         {},
         "devices[0]: needs a \"data_id\""                                                                                                                                         },
        {device_list({good, R"({"data_id": 2, "appSetting": {}})"}),                                        {},                  "devices[1]: no link"                             },
        {device_list(
             {good, R"({"data_id": 2, "modbus": {"tcp": ")" + tcp + R"(", "baud": 9601}})"}),
         {},
         "devices[1]: "                                                                                                                                                            },
        {device_list({serial_device(1, tty, 1), serial_device(2, tty, 2, R"(, "baud": 19200)")}),
         {},
         "devices[1] and devices[0] share the serial line " + tty +
             " but differ in modbus.baud (19200 and 9600)"                                                                                                                         },
        {device_list({good, tcp_device(2, "localhost" + tcp.substr(tcp.rfind(':')), 1)}),
         {},
         "devices[1] and devices[0] are both unit 1 on the TCP peer localhost:"                                                                                                    },
        {device_list(
             {serial_device(1, tty, 1), serial_device(2, dir_.file(".") + "/no-such-tty", 1)}),
         {},
         "devices[1] and devices[0] are both slave 1 on the serial line"                                                                                                           },
        {device_list({serial_device(1, tty, 1), serial_device(2, tty, 2, R"(, "parity": "E")")}),
         {},
         "differ in modbus.parity (E and N)"                                                                                                                                       },
        {device_list({serial_device(1, tty, 1), serial_device(2, tty, 2, R"(, "data_bits": 7)")}),
         {},
         "differ in modbus.data_bits (7 and 8)"                                                                                                                                    },
        {device_list({serial_device(1, tty, 1), serial_device(2, tty, 2, R"(, "stop_bits": 2)")}),
         {},
         "differ in modbus.stop_bits (2 and 1)"                                                                                                                                    },
        {device_list({serial_device(1, tty, 3), serial_device(2, tty, 3)}),
         {},
         "devices[1] and devices[0] are both slave 3 on the serial line"                                                                                                           },
        {R"({"modbus": {"tcp": ")" + tcp + R"("}, "devices": [)" + good + "]}",
         {},
         R"("modbus" belongs in each entry of "devices")"                                                                                                                          },
        {R"({"histroy": 1, "devices": [)" + good + "]}",                                                    {},                  "unknown member \"histroy\""                      },
        {device_list({good}),                                                                               {"--tcp", tcp},      "--tcp: the settings file lists \"devices\""      },
        {device_list({good}),                                                                               {"--baud", "19200"}, "--baud: the settings file lists \"devices\""     },
        {device_list({good}),
         {"--data-id", "1"},
         "--data-id: with a \"devices\" list it only picks"                                                                                                                        },
        {device_list({good, tcp_device(2, tcp, 2)}),
         {"--write", "19=1"},
         "--write: the settings file lists several devices"                                                                                                                        },
        {device_list({good, tcp_device(2, tcp, 2)}),
         {"--write", "19=1", "--data-id", "7"},
         "no device with data id 7"                                                                                                                                                },
        {device_list({good, tcp_device(2, tcp, 2)}),
         {"--output", dir_.file("snap.json")},
         "--output: with several devices"                                                                                                                                          },
        {device_list({good, tcp_device(2, tcp, 2)}),
         {"--output", dir_.file("missing/{data_id}.json")},
         "--output " + dir_.file("missing/1.json")                                                                                                                                 },
        {device_list({good, tcp_device(2, tcp, 2)}),
         {"--mqtt", "mqtt://127.0.0.1:1", "--mqtt-topic", "plant"},
         "--mqtt-topic: with several devices"                                                                                                                                      },
        {device_list({good, R"({"data_id": 2, "modbus": {"tcp": ")" + tcp +
                                R"(", "slave": 2}, "appSetting": {"b_mode": [3]}})"}),
         {},
         "device of data id 2: member appSetting.b_mode has the wrong type"                                                                                                        },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.document);
        std::vector<std::string> args = {"--settings", settings(row.document), "--no-history",
                                         "--cycles", "1"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const ProgramRun run = run_program(dir_, args);
        EXPECT_EQ(run.status, kExitUsage) << run.status_text;
        EXPECT_NE(run.status_text.find(row.message), std::string::npos) << run.status_text;
        EXPECT_TRUE(run.reports.empty());
        EXPECT_FALSE(listener.connected()) << run.status_text;
        EXPECT_EQ(run.status_text.find("link: cannot open"), std::string::npos) << run.status_text;
    }
}

// The shape a good list takes: each entry's own settings, the link defaults beneath.
TEST_F(DevicesTest, EachEntryKeepsItsOwnSettings) {
    const std::string file = settings(
        device_list({serial_device(7, "/dev/ttyS9", 2, R"(, "baud": 19200, "timeout_ms": 300)"),
                     R"({"data_id": 8, "modbus": {"tcp": "10.0.0.5:502", "slave": 9},
             "appSetting": {"b_mode": "1"}})"}));
    std::vector<std::string> args = {"kv830-host", "--settings", file, "--output", "s-{data_id}"};
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    ProgramOptions program;
    std::string error;
    ASSERT_TRUE(
        parse_program_options(static_cast<int>(argv.size()), argv.data(), program, error, ""))
        << error;
    const Options& o = program.core;
    EXPECT_TRUE(o.device_list);
    ASSERT_EQ(o.devices.size(), 2U);
    EXPECT_EQ(o.devices[0].data_id, 7U);
    EXPECT_EQ(o.devices[0].link.device, "/dev/ttyS9");
    EXPECT_EQ(o.devices[0].link.baud, 19200);
    EXPECT_EQ(o.devices[0].link.slave, 2);
    EXPECT_EQ(o.devices[0].link.timeout_ms, 300);
    EXPECT_FALSE(o.devices[0].settings.isMember("data_id"));
    EXPECT_EQ(o.devices[1].data_id, 8U);
    EXPECT_EQ(o.devices[1].link.tcp, "10.0.0.5:502");
    EXPECT_EQ(o.devices[1].link.baud, qdxhost::LinkSettings{}.baud);
    EXPECT_EQ(o.devices[1].settings["appSetting"]["b_mode"].asString(), "1");
    EXPECT_FALSE(o.devices[0].settings.isMember("appSetting"));
    EXPECT_EQ(lines_of({o.devices[0].link, o.devices[1].link}), (std::vector<std::size_t>{0, 1}));
}

TEST_F(DevicesTest, TwoUnitsOnOneTcpPeerShareItsConnection) {
    Sim sim(dir_, "sim", {"--tcp", "0"});
    ASSERT_FALSE(sim.address().empty());
    const std::string db = dir_.file("h.db");
    // One peer, written two ways: still one connection.
    const std::string as_localhost = "localhost" + sim.address().substr(sim.address().rfind(':'));
    const std::string file =
        settings(device_list({tcp_device(3, sim.address(), 1), tcp_device(4, as_localhost, 2)}));
    const ProgramRun run =
        run_program(dir_, {"--settings", file, "--cycles", "3", "--interval", "0", "--history", db,
                           "--output", dir_.file("snap-{data_id}.json")});
    ASSERT_EQ(run.status, kExitOk) << run.status_text;
    for (const unsigned id : {3U, 4U}) {
        SCOPED_TRACE(id);
        const auto reports = reports_of(run, id);
        ASSERT_EQ(reports.size(), 3U);
        for (const Round* r : reports) {
            EXPECT_TRUE(r->completed);
            EXPECT_EQ(r->counters[RoundCounter::Answered], 17U);
        }
        const std::string prefix = "[" + std::to_string(id) + "] ";
        EXPECT_NE(run.status_text.find(prefix + "cycle 1: "), std::string::npos) << run.status_text;
        EXPECT_NE(run.status_text.find(prefix + "cycle 3: "), std::string::npos) << run.status_text;
        // The file of each device holds its own last snapshot.
        EXPECT_EQ(testproc::read_file(dir_.file("snap-" + std::to_string(id) + ".json")),
                  reports.back()->snapshot);
        std::string tagged = reports.back()->snapshot;
        tagged.pop_back();
        EXPECT_NE(
            run.out.find("{\"data_id\":" + std::to_string(id) + ",\"snapshot\":" + tagged + "}\n"),
            std::string::npos);
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(db, error)) << error;
        StoredRound round;
        EXPECT_TRUE(store.newest_round(id, 5156, 576, round, error)) << error;
    }
    // One connection, both unit ids asked.
    const std::string log = sim.log();
    EXPECT_NE(log.find(" unit 1 read"), std::string::npos) << log;
    EXPECT_NE(log.find(" unit 2 read"), std::string::npos) << log;
    std::size_t connections = 0;
    for (auto at = log.find("connection accepted"); at != std::string::npos;
         at = log.find("connection accepted", at + 1)) {
        ++connections;
    }
    EXPECT_EQ(connections, 1U) << log;
    expect_whole_lines(run.status_text, {3, 4});
}

// On one serial line the devices are polled in turn from one thread, one request at a
// time: the reports alternate.
TEST_F(DevicesTest, TwoSlavesOnOneSerialLineArePolledInTurn) {
    Sim sim(dir_, "sim", {"--pty", "--also-slaves", "2"});
    ASSERT_FALSE(sim.address().empty());
    const std::string file = settings(
        device_list({serial_device(1, sim.address(), 1), serial_device(2, sim.address(), 2)}));
    const ProgramRun run =
        run_program(dir_, {"--settings", file, "--cycles", "3", "--interval", "0", "--no-history"});
    ASSERT_EQ(run.status, kExitOk) << run.status_text;
    ASSERT_EQ(run.reports.size(), 6U) << run.status_text;
    for (std::size_t i = 0; i < run.reports.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(run.reports[i].data_id, i % 2 == 0 ? 1U : 2U);
        EXPECT_EQ(run.reports[i].number, i / 2 + 1);
        EXPECT_TRUE(run.reports[i].completed);
        EXPECT_EQ(run.report_threads[i], run.report_threads[0]);
    }
    const std::string log = sim.log();
    EXPECT_NE(log.find(" unit 2 read"), std::string::npos) << log;
}

// On a shared serial line a controller that answers nothing is asked only every so often
// after a few rounds, so that its neighbours keep their interval.
TEST_F(DevicesTest, ASilentSlaveOnASharedLineIsBackedOff) {
    Sim sim(dir_, "sim", {"--pty", "--also-slaves", "2"});
    ASSERT_FALSE(sim.address().empty());
    const std::string quick = R"(, "timeout_ms": 150, "retries": 0)";
    const std::string file = settings(device_list({serial_device(1, sim.address(), 1, quick),
                                                   serial_device(2, sim.address(), 2, quick),
                                                   serial_device(3, sim.address(), 3, quick)}));
    const ProgramRun run =
        run_program(dir_, {"--settings", file, "--cycles", "8", "--interval", "0", "--no-history"});
    EXPECT_EQ(run.status, kExitShortfall) << run.status_text;
    EXPECT_EQ(reports_of(run, 1).size(), 8U);
    EXPECT_EQ(reports_of(run, 2).size(), 8U);
    ASSERT_EQ(reports_of(run, 3).size(), 3U) << run.status_text;
    EXPECT_EQ(reports_of(run, 3).back()->silent_backoff_s, 30.0);
    EXPECT_NE(run.status_text.find("[3] no answer in 3 rounds: asked every 30 s"),
              std::string::npos)
        << run.status_text;
    EXPECT_NE(run.status_text.find("data id 3: 0 of 3 rounds completed (5 cycles passed over"),
              std::string::npos)
        << run.status_text;
}

// Separate lines are polled concurrently: a controller that never answers costs its own
// line its timeouts, while the other line goes on at its own pace.
TEST_F(DevicesTest, ASilentControllerDoesNotHoldUpAnotherLine) {
    Sim good(dir_, "good", {"--tcp", "0"});
    Sim silent(dir_, "silent", {"--tcp", "0", "--drop-every", "1"});
    ASSERT_FALSE(good.address().empty());
    ASSERT_FALSE(silent.address().empty());
    const std::string file = settings(
        device_list({tcp_device(1, good.address(), 1),
                     tcp_device(2, silent.address(), 1, R"(, "timeout_ms": 1000, "retries": 1)")}));
    const ProgramRun run =
        run_program(dir_, {"--settings", file, "--cycles", "5", "--interval", "0", "--no-history"});
    // A device that completed no round is a shortfall of the run, said per device.
    EXPECT_EQ(run.status, kExitShortfall) << run.status_text;
    EXPECT_NE(run.status_text.find("data id 1: 5 of 5 rounds completed"), std::string::npos);
    EXPECT_NE(run.status_text.find("data id 2: 0 of 5 rounds completed; the "), std::string::npos)
        << run.status_text;
    const auto answered = reports_of(run, 1);
    const auto silent_reports = reports_of(run, 2);
    ASSERT_EQ(answered.size(), 5U);
    ASSERT_EQ(silent_reports.size(), 5U);
    for (const Round* r : answered) {
        EXPECT_TRUE(r->completed);
    }
    for (const Round* r : silent_reports) {
        EXPECT_FALSE(r->completed);
    }
    // Its first round waits out the timeout of both tries of its first request.
    EXPECT_GE(silent_reports.front()->duration_s, 1.9);
    expect_whole_lines(run.status_text, {1, 2});
    // All five rounds of the answering controller were done before the silent one had
    // given up its first round.
    EXPECT_LE(answered.back()->end_unix_ms, silent_reports.front()->end_unix_ms) << run.status_text;
}

// Writes go to the device of their data id on that device's line; an unknown data id is
// refused before anything is sent.
TEST_F(DevicesTest, WritesAreRoutedByDataId) {
    Sim sim(dir_, "sim", {"--tcp", "0"});
    ASSERT_FALSE(sim.address().empty());
    const std::string file =
        settings(device_list({tcp_device(5, sim.address(), 1), tcp_device(6, sim.address(), 2)}));
    std::map<unsigned, WriteOutcome> outcomes;
    const ProgramRun run =
        run_program(dir_, {"--settings", file, "--cycles", "3", "--interval", "0", "--no-history"},
                    [&outcomes](Program& program, ProgramRun&, std::mutex& mutex) {
                        RemoteWrites* writes = &program.remote_writes();
                        program.add_watcher([writes, &outcomes, &mutex](const RoundPtr& r) {
                            if (r->data_id != 5 || r->number != 1) {
                                return;
                            }
                            for (const unsigned id : {6U, 9U}) {
                                RemoteWrite w;
                                w.source = "test";
                                w.has_data_id = true;
                                w.command.data_id = id;
                                w.command.address = 19;
                                w.command.values = {65};
                                writes->submit(w, [id, &outcomes, &mutex](const WriteOutcome& o) {
                                    const std::lock_guard<std::mutex> lock(mutex);
                                    outcomes[id] = o;
                                });
                            }
                        });
                    });
    ASSERT_EQ(run.status, kExitOk) << run.status_text;
    ASSERT_EQ(outcomes.size(), 2U) << run.status_text;
    EXPECT_EQ(outcomes[6].kind, WriteOutcome::Kind::Confirmed) << run.status_text;
    EXPECT_EQ(outcomes[9].kind, WriteOutcome::Kind::Refused);
    EXPECT_NE(outcomes[9].reason.find("no device with data id 9"), std::string::npos);
    const std::string log = sim.log();
    EXPECT_NE(log.find(" unit 2 write register 19 = 65"), std::string::npos) << log;
    EXPECT_EQ(log.find(" unit 1 write register"), std::string::npos) << log;
    EXPECT_NE(
        run.status_text.find("write from test: data id 6, register 19, values [65]: confirmed"),
        std::string::npos)
        << run.status_text;

    // The command line's write picks its device with --data-id.
    const ProgramRun once = run_program(
        dir_, {"--settings", file, "--write", "21=77", "--data-id", "6", "--no-history"});
    EXPECT_EQ(once.status, kExitOk) << once.status_text;
    EXPECT_NE(once.status_text.find("[6] write register 21=77: confirmed"), std::string::npos)
        << once.status_text;
    EXPECT_NE(sim.log().find(" unit 2 write register 21 = 77"), std::string::npos);
    EXPECT_TRUE(once.reports.empty());
}

// With several devices --cycles N fails only when no device completed a round.
TEST_F(DevicesTest, NoRoundStatusCountsEveryDevice) {
    Sim sim(dir_, "sim", {"--tcp", "0"});
    ASSERT_FALSE(sim.address().empty());
    const std::string dead = "127.0.0.1:" + std::to_string(testproc::free_tcp_port());
    const std::string one_answers = settings(device_list(
        {tcp_device(1, sim.address(), 1), tcp_device(2, dead, 1, R"(, "timeout_ms": 200)")}));
    // The page's state and a publisher per device take reports from both lines at once.
    const std::string broker = "127.0.0.1:" + std::to_string(testproc::free_tcp_port());
    const ProgramRun some =
        run_program(dir_, {"--settings", one_answers, "--cycles", "2", "--interval", "0",
                           "--no-history", "--http", "127.0.0.1:0", "--mqtt", "mqtt://" + broker,
                           "--mqtt-topic", "plant/{data_id}", "--mqtt-flush-timeout", "200ms"});
    // No broker took the cycles: the run ended, but fell short.
    EXPECT_EQ(some.status, kExitShortfall) << some.status_text;
    EXPECT_NE(some.status_text.find("[1] kv830-host: mqtt: 0 cycles delivered, 2 not delivered"),
              std::string::npos)
        << some.status_text;
    EXPECT_NE(some.status_text.find("serving http://127.0.0.1:"), std::string::npos)
        << some.status_text;
    const std::string none_answer =
        settings(device_list({tcp_device(1, dead, 1, R"(, "timeout_ms": 200)"),
                              tcp_device(2, dead, 2, R"(, "timeout_ms": 200)")}));
    const ProgramRun none = run_program(
        dir_, {"--settings", none_answer, "--cycles", "2", "--interval", "0", "--no-history"});
    EXPECT_EQ(none.status, kExitNoRound) << none.status_text;
}

// The service manager hears READY=1 once every device is made and the history open,
// WATCHDOG=1 while every line makes progress, STOPPING=1 once all have stopped.
TEST_F(DevicesTest, TheManagerHearsOfEveryLine) {
    const std::string name = dir_.file("notify.sock");
    const NotifyListener notifier(name);
    ASSERT_TRUE(notifier.bound());
    ASSERT_EQ(::setenv("NOTIFY_SOCKET", name.c_str(), 1), 0);
    Sim sim(dir_, "sim", {"--tcp", "0"});
    ASSERT_FALSE(sim.address().empty());
    const std::string dead = "127.0.0.1:" + std::to_string(testproc::free_tcp_port());
    const std::string file = settings(device_list(
        {tcp_device(1, sim.address(), 1), tcp_device(2, dead, 1, R"(, "timeout_ms": 100)")}));
    const ProgramRun run = run_program(dir_, {"--settings", file, "--cycles", "4", "--interval",
                                              "0.5", "--history", dir_.file("h.db")});
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(run.status, kExitShortfall) << run.status_text;
    std::vector<std::string> messages;
    for (std::string message = notifier.next(); !message.empty(); message = notifier.next()) {
        messages.push_back(message);
    }
    ASSERT_GE(messages.size(), 3U) << run.status_text;
    EXPECT_EQ(messages.front(), "READY=1");
    EXPECT_EQ(messages.back(), "STOPPING=1");
    for (std::size_t i = 1; i + 1 < messages.size(); ++i) {
        EXPECT_EQ(messages[i], "WATCHDOG=1");
    }
}

}  // namespace
}  // namespace kv830host
