// kv830-host as a service: SIGTERM ends it promptly with its history saved, SIGHUP
// reopens a rotated log.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "e2e_support.h"

namespace {

using namespace e2e;

TEST(Service, SigtermEndsWithinTwoSecondsWithTheHistorySaved) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string db = dir.file("h.db");
    Process host(host_argv({"--tcp", sim.address(), "--interval", "0.2", "--history", db}),
                 dir.file("host.out"), dir.file("host.err"));
    ASSERT_TRUE(host.wait_for_err("cycle 3:", 20000ms)) << host.err();
    expect_prompt_stop(host);
    EXPECT_EQ(host.out().front(), '{') << host.out();
    const auto lines = cycle_lines(host.err());
    std::size_t completed = 0;
    for (const CycleLine& c : lines) {
        completed += c.failed == 0 ? 1 : 0;
    }
    EXPECT_EQ(history_rows(db).size(), completed) << host.err();
}

TEST(Service, SighupReopensTheLog) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string log = dir.file("driver.log");
    Process host(
        host_argv({"--tcp", sim.address(), "--interval", "0.1", "--no-history", "--log", log}),
        dir.file("host.out"), dir.file("host.err"));
    ASSERT_TRUE(host.wait_for_err("cycle 2:", 20000ms)) << host.err();
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    host.signal(SIGHUP);
    ASSERT_TRUE(host.wait_for_err("reopened", 5000ms)) << host.err();
    // The driver's lines of later cycles go to the new file.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read_file(log).empty() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_FALSE(read_file(log).empty());
    EXPECT_FALSE(read_file(log + ".1").empty());
    EXPECT_TRUE(host.running()) << "SIGHUP does not end the program";
    EXPECT_EQ(host.stop(5000ms), 0) << host.err();
}

}  // namespace
