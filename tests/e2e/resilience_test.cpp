// A lost reply is asked for again; without retries it costs one cycle; a simulator that
// goes away and comes back costs the cycles in between; the host keeps running throughout.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <thread>

#include "e2e_support.h"

namespace {

using namespace e2e;

// A settings file that turns the link's retries off, so that one lost reply is one
// abandoned cycle.
std::string no_retries(const TempDir& dir) {
    std::string path = dir.file("no-retries.json");
    write_file(path, R"({"modbus": {"retries": 0}})");
    return path;
}

TEST(Polling, DroppedRepliesAreRetried) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen", "--drop-every", "17"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun run = run_host(dir,
                                 {"--tcp", sim.address(), "--cycles", "20", "--interval", "0",
                                  "--timeout", "300ms", "--no-history"},
                                 60000ms);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = cycle_lines(run.err);
    ASSERT_EQ(lines.size(), 20U) << run.err;
    const auto complete = std::count_if(lines.begin(), lines.end(), [](const CycleLine& c) {
        return c.failed == 0 && c.answered == 17;
    });
    EXPECT_GE(complete, 19) << run.err;
}

TEST(Polling, WithoutRetriesADroppedReplyAbandonsOnlyItsCycle) {
    TempDir dir;
    // Requests are counted over all cycles: the 18th, 36th... go unanswered, which is
    // the first request of every second cycle.
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen", "--drop-every", "18"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun run =
        run_host(dir, {"--tcp", sim.address(), "--cycles", "4", "--interval", "0", "--timeout",
                       "300ms", "--history", dir.file("h.db"), "--settings", no_retries(dir)});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = cycle_lines(run.err);
    ASSERT_EQ(lines.size(), 4U) << run.err;
    EXPECT_EQ(lines[0].failed, 0U);
    EXPECT_EQ(lines[1].failed, 1U);
    EXPECT_EQ(lines[2].failed, 0U) << "the cycle after a dropped reply completes";
    EXPECT_EQ(lines[2].answered, 17U);
    EXPECT_NE(run.err.find("abandoned"), std::string::npos);
}

TEST(RtuLink, WithoutRetriesACorruptCrcAbandonsOnlyItsCycle) {
    TempDir dir;
    Simulator sim(dir, {"--pty"}, {"--frozen", "--corrupt-crc-every", "18"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun run = run_host(dir, {"--device", sim.address(), "--cycles", "3", "--interval",
                                       "0", "--no-history", "--settings", no_retries(dir)});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = cycle_lines(run.err);
    ASSERT_EQ(lines.size(), 3U) << run.err;
    EXPECT_EQ(lines[0].failed, 0U);
    EXPECT_EQ(lines[1].failed, 1U) << run.err;
    EXPECT_EQ(lines[2].answered, 17U) << run.err;
}

// Every reply comes after the host gave up on it; none may be taken for the answer to
// a later request, so no request of any cycle counts as answered. (A retry is the same
// request, which a late reply does answer: this is about giving up.)
TEST(RtuLink, LateReplyIsNotTakenForTheNextRequest) {
    TempDir dir;
    Simulator sim(dir, {"--pty"}, {"--frozen", "--delay-ms", "400"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun run =
        run_host(dir, {"--device", sim.address(), "--cycles", "3", "--interval", "0", "--timeout",
                       "250ms", "--history", dir.file("h.db"), "--settings", no_retries(dir)});
    // Not one round completed: the run says so by its status.
    ASSERT_EQ(run.status, 5) << run.err;
    const auto lines = cycle_lines(run.err);
    ASSERT_EQ(lines.size(), 3U) << run.err;
    for (const auto& c : lines) {
        EXPECT_EQ(c.answered, 0U) << run.err;
        EXPECT_EQ(c.failed, 1U) << run.err;
    }
    EXPECT_TRUE(history_rows(dir.file("h.db")).empty());
}

TEST(Polling, SimulatorRestartedMidRunHostCarriesOn) {
    TempDir dir;
    auto sim = std::make_unique<Simulator>(dir, std::vector<std::string>{"--tcp", "0"},
                                           std::vector<std::string>{"--frozen"}, "sim1");
    ASSERT_TRUE(sim->started()) << sim->log();
    const std::string address = sim->address();
    const std::string port = sim->port();
    Process host(host_argv({"--tcp", address, "--cycles", "200", "--interval", "0.1", "--timeout",
                            "300ms", "--history", dir.file("h.db")}),
                 dir.file("host.out"), dir.file("host.err"));
    ASSERT_TRUE(host.wait_for_err("cycle 2:", 10000ms)) << host.err();
    ASSERT_EQ(sim->stop(), 0);
    ASSERT_TRUE(host.wait_for_err("abandoned", 10000ms)) << host.err();
    sim.reset();
    // The port may linger for a moment after the old simulator closed it.
    for (int attempt = 0; attempt < 20 && (!sim || !sim->started()); ++attempt) {
        sim = std::make_unique<Simulator>(dir, std::vector<std::string>{"--tcp", port},
                                          std::vector<std::string>{"--frozen"},
                                          "sim" + std::to_string(attempt + 2));
        if (!sim->started()) {
            std::this_thread::sleep_for(250ms);
        }
    }
    ASSERT_TRUE(sim->started()) << sim->log();
    ASSERT_TRUE(host.wait_for_err("reopened", 20000ms)) << host.err();
    const std::size_t reopened_at = host.err().find("reopened");
    // A full cycle after the reopening.
    bool completed = false;
    for (int i = 0; i < 100 && !completed; ++i) {
        const std::string err = host.err();
        completed = err.find(" 17 answered, 0 failed", reopened_at) != std::string::npos;
        if (!completed) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(completed) << host.err();
    EXPECT_TRUE(host.running()) << host.err();
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(10000ms), 0) << host.err();
    EXPECT_NE(host.err().find("stopped by signal"), std::string::npos);
    // Ended by the signal, it still printed its snapshot.
    Json::Value snapshot;
    EXPECT_TRUE(parse_json(host.out(), snapshot) && snapshot.isObject());
}

// A USB adapter pulled out and plugged back in: its device node goes away and comes
// back, here a link to the simulator's pseudo-terminal that is replaced.
TEST(RtuLink, PortThatDisappearsIsReopened) {
    TempDir dir;
    const std::string port = dir.file("ttyPLANT");
    auto sim = std::make_unique<Simulator>(dir, std::vector<std::string>{"--pty"},
                                           std::vector<std::string>{"--frozen"}, "sim1");
    ASSERT_TRUE(sim->started()) << sim->log();
    ASSERT_EQ(::symlink(sim->address().c_str(), port.c_str()), 0);
    Process host(
        host_argv({"--device", port, "--cycles", "200", "--interval", "0.1", "--no-history"}),
        dir.file("host.out"), dir.file("host.err"));
    ASSERT_TRUE(host.wait_for_err("cycle 2:", 10000ms)) << host.err();
    ASSERT_EQ(sim->stop(), 0);
    ASSERT_EQ(::unlink(port.c_str()), 0);
    ASSERT_TRUE(host.wait_for_err("lost", 10000ms)) << host.err();
    sim = std::make_unique<Simulator>(dir, std::vector<std::string>{"--pty"},
                                      std::vector<std::string>{"--frozen"}, "sim2");
    ASSERT_TRUE(sim->started()) << sim->log();
    ASSERT_EQ(::symlink(sim->address().c_str(), port.c_str()), 0);
    ASSERT_TRUE(host.wait_for_err("reopened", 20000ms)) << host.err();
    const std::size_t reopened_at = host.err().find("reopened");
    bool completed = false;
    for (int i = 0; i < 100 && !completed; ++i) {
        completed = host.err().find(" 17 answered, 0 failed", reopened_at) != std::string::npos;
        if (!completed) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(completed) << host.err();
    host.signal(SIGINT);
    EXPECT_EQ(host.wait(10000ms), 0) << host.err();
}

}  // namespace
