// A link that cannot work is reported at start: settings the line cannot take are refused
// (status 2), a port that opening will never mend ends the program (status 1) with the
// system's reason instead of being retried forever.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "e2e_support.h"

namespace {

using namespace e2e;

TEST(LinkStart, SettingsTheLineCannotTakeAreRefused) {
    TempDir dir;
    write_file(dir.file("typo.json"), R"({"modbus": {"timeout": 5000}})");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } rows[] = {
        {{"--device", "/dev/ttyS0", "--baud", "123"},                      "cannot be set to 123 baud"  },
        {{"--tcp", "::1"},                                                 "in brackets, [ADDRESS]:PORT"},
        {{"--tcp", "127.0.0.1:1502", "--retries", "11"},                   "--retries"                  },
        {{"--tcp", "127.0.0.1:1502", "--settings", dir.file("typo.json")},
         R"(did you mean "timeout_ms"?)"                                                                     },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        const HostRun run = run_host(dir, row.args, 10000ms);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    }
}

TEST(LinkStart, PortsThatCannotOpenEndTheProgramWithTheReason) {
    TempDir dir;
    const struct {
        std::string device;
        std::string reason;
    } rows[] = {
        {"/dev/null", std::strerror(ENOTTY)},
        {dir.path(),  std::strerror(EISDIR)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.device);
        const HostRun run =
            run_host(dir, {"--device", row.device, "--cycles", "3", "--no-history"}, 10000ms);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find(row.reason), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("retrying"), std::string::npos) << run.err;
    }
}

TEST(LinkStart, TcpUnitIdsUpTo255AreServed) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen", "--slave", "1"});
    ASSERT_TRUE(sim.started()) << sim.log();
    // The simulator answers any unit id over TCP; the host must let it ask.
    const HostRun run =
        run_host(dir, {"--tcp", sim.address(), "--slave", "255", "--cycles", "1", "--no-history"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("unit 255"), std::string::npos) << run.err;
}

TEST(LinkStart, APortAnotherProgramHoldsIsRefusedNamingIt) {
    TempDir dir;
    Simulator sim(dir, {"--pty"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    Process first(host_argv({"--device", sim.address(), "--cycles", "200", "--interval", "0.1",
                             "--no-history"}),
                  dir.file("first.out"), dir.file("first.err"));
    ASSERT_TRUE(first.wait_for_err("cycle 1:", 10000ms)) << first.err();
    const HostRun second =
        run_host(dir, {"--device", sim.address(), "--cycles", "1", "--no-history"}, 10000ms);
    EXPECT_EQ(second.status, 1) << second.err;
    EXPECT_NE(second.err.find("in use by another process"), std::string::npos) << second.err;
    EXPECT_NE(second.err.find("pid " + std::to_string(first.pid())), std::string::npos)
        << second.err;
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(10000ms), 0) << first.err();
}

TEST(LinkStart, UnknownHostGivesTheResolversReason) {
    TempDir dir;
    const HostRun run = run_host(
        dir, {"--tcp", "no.such.host.invalid:502", "--cycles", "1", "--no-history"}, 20000ms);
    EXPECT_NE(run.err.find("cannot resolve no.such.host.invalid"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(std::strerror(ECONNREFUSED)), std::string::npos) << run.err;
}

}  // namespace
