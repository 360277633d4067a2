// kv830-host's program in-process: against a real plant-sim, with its reports read from
// the status stream and its watchers.
#include "program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history_store.h"
#include "process.h"
#include "program_support.h"
#include "time_text.h"

namespace kv830host {
namespace {

using namespace std::chrono_literals;
using programtest::ProgramRun;
using programtest::run_program;
using programtest::Sim;
using testproc::TempDir;

class ProgramTest : public programtest::ProgramFixture {};

TEST(WriteJudgement, WhatTheUserIsToldAndTheExitStatus) {
    struct Row {
        WriteOutcome outcome;
        const char* text;
        int status;
    };
    const Row rows[] = {
        {{WriteOutcome::Kind::Confirmed, "", false},          "confirmed",                           0},
        {{WriteOutcome::Kind::NotConfirmed, "", false},       "not confirmed",                       3},
        {{WriteOutcome::Kind::NoReply, "", true},             "no reply, sent again after no reply", 4},
        {{WriteOutcome::Kind::Garbled, "", false},            "reply garbled, outcome unknown",      6},
        {{WriteOutcome::Kind::Refused, "exception 2", false}, "refused (exception 2)",               3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(describe_write_outcome(row.outcome), row.text);
        EXPECT_EQ(exit_status_of(row.outcome), row.status);
    }
    // The device's own result decides between confirmed and not; anything else found no
    // reply.
    qdxhost::DriveResult drive;
    EXPECT_EQ(judge_write(1, drive).kind, WriteOutcome::Kind::Confirmed);
    EXPECT_EQ(judge_write(3, drive).kind, WriteOutcome::Kind::NotConfirmed);
    EXPECT_EQ(judge_write(-1, drive).kind, WriteOutcome::Kind::NoReply);
}

TEST(RepeatSummary, IdenticalFailuresAreCountedNotRepeated) {
    RepeatSummary s;
    struct Step {
        const char* key;
        const char* line;
        const char* shown;
    };
    const Step steps[] = {
        {"",     "ok 1\n",   "ok 1\n"                        },
        {"down", "down 2\n", "down 2\n"                      },
        {"down", "down 3\n", ""                              },
        {"down", "down 4\n", ""                              },
        {"",     "ok 5\n",   "... (repeated 2 times)\nok 5\n"},
        {"",     "ok 6\n",   "ok 6\n"                        },
        {"down", "down 7\n", "down 7\n"                      },
        {"down", "down 8\n", ""                              },
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.line);
        EXPECT_EQ(s.next(step.key, step.line), step.shown);
    }
    EXPECT_EQ(s.flush(), "... (repeated 1 times)\n");
    EXPECT_EQ(s.flush(), "");
}

TEST_F(ProgramTest, WriteOutcomesAreReported) {
    struct Row {
        const char* what;
        std::vector<std::string> sim_options;
        const char* reported;
        int status;
    };
    const Row rows[] = {
        {"confirmed", {},                       ": confirmed",             kExitOk          },
        {"refused",   {"--exception-at", "19"}, ": refused (exception 2)", kExitNotConfirmed},
        {"no reply",  {"--drop-every", "1"},    ": no reply",              kExitNoReply     },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> sim_args = {"--tcp", "0"};
        sim_args.insert(sim_args.end(), row.sim_options.begin(), row.sim_options.end());
        Sim sim(dir_, sim_args);
        ASSERT_FALSE(sim.address().empty());
        const ProgramRun run =
            run_program(dir_, {"--tcp", sim.address(), "--write", "19=4321", "--timeout", "300ms"});
        EXPECT_EQ(run.status, row.status) << run.status_text;
        EXPECT_NE(run.status_text.find("write register 19=4321" + std::string(row.reported)),
                  std::string::npos)
            << run.status_text;
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_TRUE(run.reports.empty());
    }
    // A write-only run leaves no history file behind in the current folder.
    EXPECT_NE(::access("kv830-history.db", F_OK), 0);
}

TEST_F(ProgramTest, EveryCycleReachesTheWatchers) {
    Sim sim(dir_, {"--tcp", "0"});
    ASSERT_FALSE(sim.address().empty());
    const ProgramRun run = run_program(
        dir_, {"--tcp", sim.address(), "--cycles", "3", "--interval", "0", "--no-history"});
    ASSERT_EQ(run.status, kExitOk) << run.status_text;
    ASSERT_EQ(run.reports.size(), 3U);
    for (std::size_t i = 0; i < run.reports.size(); ++i) {
        SCOPED_TRACE(i);
        const Round& r = run.reports[i];
        EXPECT_EQ(r.number, i + 1);
        EXPECT_TRUE(r.completed);
        EXPECT_EQ(r.counters[RoundCounter::Answered], 17U);
        EXPECT_EQ(r.counters[RoundCounter::Failed], 0U);
        EXPECT_TRUE(r.link_up);
        EXPECT_EQ(r.last_completed_unix_ms, r.end_unix_ms);
        EXPECT_EQ(r.snapshot.front(), '{');
    }
    EXPECT_EQ(run.out, run.reports.back().snapshot);
    EXPECT_NE(run.status_text.find("0 retries"), std::string::npos) << run.status_text;
}

// Writes asked for by a watcher run on the polling thread between cycles, and their
// outcome comes back there.
TEST_F(ProgramTest, WritesFromWatchersRunBetweenCycles) {
    Sim sim(dir_, {"--tcp", "0"});
    ASSERT_FALSE(sim.address().empty());
    const std::vector<std::string> args = {"kv830-host",  "--plugin",    KV830_SO, "--tcp",
                                           sim.address(), "--cycles",    "4",      "--interval",
                                           "0",           "--no-history"};
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    ProgramOptions options;
    std::string error;
    ASSERT_TRUE(
        parse_program_options(static_cast<int>(argv.size()), argv.data(), options, error, ""));
    std::ostringstream status;
    Program program(std::move(options), STDERR_FILENO, status);
    RemoteWrites& writes = program.remote_writes();
    struct Done {
        WriteOutcome outcome;
        std::thread::id thread;
        unsigned long long after_cycle = 0;
    };
    std::vector<Done> done;
    unsigned long long cycles_seen = 0;
    program.add_watcher([&](const RoundPtr& r) {
        cycles_seen = r->number;
        if (r->number != 1) {
            return;
        }
        RemoteWrite good;
        good.source = "test";
        good.has_data_id = true;
        good.command.data_id = 1;
        good.command.address = 19;
        good.command.values = {65};
        RemoteWrite other = good;
        other.command.data_id = 2;
        for (const RemoteWrite& w : {good, other}) {
            writes.submit(w, [&done, &cycles_seen](const WriteOutcome& o) {
                done.push_back({o, std::this_thread::get_id(), cycles_seen});
            });
        }
    });
    ASSERT_EQ(program.run(), kExitOk) << status.str();
    // The unknown device is refused at once, before anything is sent; the good write is
    // answered once the controller has.
    ASSERT_EQ(done.size(), 2U) << status.str();
    EXPECT_EQ(done[0].outcome.kind, WriteOutcome::Kind::Refused);
    EXPECT_NE(done[0].outcome.reason.find("data id 2"), std::string::npos);
    EXPECT_EQ(done[1].outcome.kind, WriteOutcome::Kind::Confirmed) << status.str();
    for (const Done& d : done) {
        EXPECT_EQ(d.thread, std::this_thread::get_id());
        EXPECT_EQ(d.after_cycle, 1U);  // before the second cycle began
    }
}

TEST_F(ProgramTest, AServedRecordIsNoNewCycle) {
    const std::string db = dir_.file("h.db");
    {
        Sim sim(dir_, {"--tcp", "0"});
        ASSERT_FALSE(sim.address().empty());
        const ProgramRun first =
            run_program(dir_, {"--tcp", sim.address(), "--cycles", "1", "--history", db});
        ASSERT_EQ(first.status, kExitOk) << first.status_text;
    }
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(db, error)) << error;
    StoredRound stored;
    ASSERT_TRUE(store.newest_round(1, 5156, 576, stored, error)) << error;
    // A newer row of the wrong size, which the device does not take.
    const std::vector<unsigned char> stub(10, 0);
    ASSERT_TRUE(store.append(1, 5156, stub.data(), 10, error)) << error;

    const std::string dead = "127.0.0.1:" + std::to_string(testproc::free_tcp_port());
    const ProgramRun again =
        run_program(dir_, {"--tcp", dead, "--cycles", "1", "--history", db, "--timeout", "200ms"});
    // The stored round's own time is named; the record is served, yet no cycle completed.
    EXPECT_NE(
        again.status_text.find("serving the record stored at " + format_time_local(stored.unix_ms) +
                               " (history row " + std::to_string(stored.id) + ")"),
        std::string::npos)
        << again.status_text;
    EXPECT_NE(again.status_text.find("holds 10 bytes; the device did not take it"),
              std::string::npos)
        << again.status_text;
    EXPECT_EQ(again.status, kExitNoRound) << again.status_text;
    ASSERT_EQ(again.reports.size(), 1U);
    EXPECT_FALSE(again.reports[0].completed);
    EXPECT_FALSE(again.reports[0].link_up);
    EXPECT_EQ(again.reports[0].last_completed_unix_ms, 0);
    EXPECT_EQ(again.out.front(), '{') << again.out;
}

TEST_F(ProgramTest, ALinkThatStaysDownFollowsTheBackoff) {
    const std::string dead = "127.0.0.1:" + std::to_string(testproc::free_tcp_port());
    const auto start = std::chrono::steady_clock::now();
    const ProgramRun run = run_program(dir_, {"--tcp", dead, "--cycles", "4", "--interval", "0",
                                              "--no-history", "--timeout", "100ms"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.status, kExitNoRound) << run.status_text;
    EXPECT_EQ(run.reports.size(), 4U);
    // 0.5 + 1 + 2 s between the four attempts, not a spin.
    EXPECT_GE(took, std::chrono::seconds(3));
    // One line, then the count of the repeats.
    EXPECT_NE(run.status_text.find("cycle 1:"), std::string::npos) << run.status_text;
    EXPECT_EQ(run.status_text.find("cycle 2:"), std::string::npos) << run.status_text;
    EXPECT_NE(run.status_text.find("... (repeated 3 times)"), std::string::npos) << run.status_text;
}

TEST_F(ProgramTest, SettingsOfTheWrongShapeAreRefusedNamingTheMember) {
    struct Row {
        const char* document;
        const char* member;
    };
    const Row rows[] = {
        {R"({"appSetting": {"b_mode": [3]}})",                        "appSetting.b_mode"},
        {R"({"appSetting": {"b_mode": {}}})",                         "appSetting.b_mode"},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": [1]})", "thresholdSetting" },
        {R"({"appSetting": {"b_mode": 3},
             "thresholdSetting": {"k": {"SignalName": ["x"]}}})",
         "thresholdSetting.k.SignalName"                                                 },
    };
    const std::string dead = "127.0.0.1:" + std::to_string(testproc::free_tcp_port());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.document);
        const std::string file = dir_.file("settings.json");
        testproc::write_file(file, row.document);
        const ProgramRun run =
            run_program(dir_, {"--tcp", dead, "--settings", file, "--no-history"});
        EXPECT_EQ(run.status, kExitUsage) << run.status_text;
        EXPECT_NE(run.status_text.find(std::string("member ") + row.member), std::string::npos)
            << run.status_text;
        EXPECT_NE(run.status_text.find(file), std::string::npos) << run.status_text;
    }
}

TEST_F(ProgramTest, OutputIntoAMissingFolderIsRefusedAtStart) {
    const std::string dead = "127.0.0.1:" + std::to_string(testproc::free_tcp_port());
    const ProgramRun run = run_program(dir_, {"--tcp", dead, "--cycles", "1", "--no-history",
                                              "--output", dir_.file("missing/snapshot.json")});
    EXPECT_EQ(run.status, kExitUsage) << run.status_text;
    EXPECT_NE(run.status_text.find("--output"), std::string::npos) << run.status_text;
    EXPECT_TRUE(run.reports.empty());
}

TEST_F(ProgramTest, WatchIntoAClosedPipeEndsWithTheWriteError) {
    Sim sim(dir_, {"--tcp", "0"});
    ASSERT_FALSE(sim.address().empty());
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    ProgramOptions options;
    std::string error;
    const std::vector<std::string> args = {"kv830-host",   "--plugin",    KV830_SO,
                                           "--tcp",        sim.address(), "--watch",
                                           "--no-history", "--interval",  "0"};
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    ASSERT_TRUE(
        parse_program_options(static_cast<int>(argv.size()), argv.data(), options, error, ""));
    std::ostringstream status;
    int rc = -1;
    {
        Program program(std::move(options), fds[1], status);
        rc = program.run();
    }
    ::close(fds[1]);
    EXPECT_EQ(rc, kExitFailure) << status.str();
    EXPECT_NE(status.str().find("Broken pipe"), std::string::npos) << status.str();
    EXPECT_EQ(status.str().find("stopped by signal"), std::string::npos) << status.str();
}

// The program hands its abort flag to the link, whose wait for a reply looks at it in
// short slices.
TEST_F(ProgramTest, SecondStopAbandonsTheExchangeAtOnce) {
    // Every reply is 5 s late against a 30 s timeout: only the abort ends the exchange.
    Sim sim(dir_, {"--tcp", "0", "--delay-ms", "5000"});
    ASSERT_FALSE(sim.address().empty());
    std::thread stopper([] {
        std::this_thread::sleep_for(500ms);
        request_stop(false);
        std::this_thread::sleep_for(200ms);
        request_stop(false);  // a second stop abandons the exchange
    });
    const auto start = std::chrono::steady_clock::now();
    const ProgramRun run =
        run_program(dir_, {"--tcp", sim.address(), "--timeout", "30s", "--no-history"});
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_LT(took, std::chrono::seconds(4)) << run.status_text;
    EXPECT_NE(run.status_text.find("stopped by signal"), std::string::npos) << run.status_text;
}

}  // namespace
}  // namespace kv830host
