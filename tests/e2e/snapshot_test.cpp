// Several polling cycles through kv830.so loaded by kv830-host; the snapshot it prints
// must say what the simulator's register image says.
#include <gtest/gtest.h>

#include "e2e_support.h"
#include "kv830_signals.h"

namespace {

using namespace e2e;

void expect_snapshot_matches(const std::string& text, const Simulator& sim) {
    std::vector<int> holding;
    std::vector<int> inputs;
    ASSERT_TRUE(sim.read_dump(holding, inputs)) << "no dump from the simulator";
    Json::Value got;
    ASSERT_TRUE(parse_json(text, got)) << text.substr(0, 200);
    ASSERT_TRUE(got.isObject());
    const Json::Value want = expected_snapshot(holding, inputs);
    EXPECT_EQ(got.size(), want.size() + 1);  // and the update time
    EXPECT_TRUE(got.isMember("更新时间"));
    int mismatches = 0;
    for (const std::string& key : want.getMemberNames()) {
        const Json::Value& w = want[key];
        const Json::Value& g = got[key];
        const bool same = w.isString() ? g.isString() && g.asString() == w.asString()
                                       : g.isNumeric() && g.asDouble() == w.asDouble();
        if (!same && ++mismatches <= 5) {
            ADD_FAILURE() << key << ": got " << g.toStyledString() << " want "
                          << w.toStyledString();
        }
    }
    EXPECT_EQ(mismatches, 0);
}

void check_cycles(const HostRun& run, long cycles) {
    const auto lines = cycle_lines(run.err);
    ASSERT_EQ(static_cast<long>(lines.size()), cycles) << run.err;
    for (const auto& c : lines) {
        EXPECT_EQ(c.answered, 17U) << run.err;
        EXPECT_EQ(c.failed, 0U) << run.err;
    }
}

TEST(TcpLink, SnapshotMatchesSimulatorImage) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen", "--seed", "7"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun run =
        run_host(dir, {"--tcp", sim.address(), "--cycles", "4", "--interval", "0", "--history",
                       dir.file("h.db"), "--output", dir.file("snapshot.json")});
    ASSERT_EQ(run.status, 0) << run.err;
    check_cycles(run, 4);
    ASSERT_EQ(sim.stop(), 0);
    // Standard output carries the device's text and nothing of its diagnostics.
    EXPECT_EQ(run.out, read_file(dir.file("snapshot.json")));
    EXPECT_EQ(run.out.find("KV830::"), std::string::npos);
    expect_snapshot_matches(run.out, sim);
}

TEST(RtuLink, SnapshotMatchesSimulatorImage) {
    TempDir dir;
    Simulator sim(dir, {"--pty"}, {"--frozen", "--seed", "11", "--baud", "9600"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun run = run_host(dir, {"--device", sim.address(), "-b", "9600", "-P", "N", "-a",
                                       "1", "--cycles", "3", "--interval", "0", "--no-history"});
    ASSERT_EQ(run.status, 0) << run.err;
    check_cycles(run, 3);
    ASSERT_EQ(sim.stop(), 0);
    expect_snapshot_matches(run.out, sim);
}

TEST(TcpLink, WatchPrintsOneSnapshotPerCycleAndPrettyListsUnits) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun watch = run_host(dir, {"--tcp", sim.address(), "--cycles", "2", "--interval", "0",
                                         "--watch", "--no-history"});
    ASSERT_EQ(watch.status, 0) << watch.err;
    std::size_t lines = 0;
    for (char c : watch.out) {
        lines += c == '\n' ? 1U : 0U;
    }
    EXPECT_EQ(lines, 2U);
    const HostRun pretty = run_host(dir, {"--tcp", sim.address(), "--cycles", "1", "--pretty",
                                          "--no-history", "--log", dir.file("driver.log")});
    // The driver's own lines went to the log, not into the listing or the status lines.
    EXPECT_NE(read_file(dir.file("driver.log")).find("KV830::DeviceIoControl 801"),
              std::string::npos);
    EXPECT_EQ(pretty.out.find("KV830::"), std::string::npos);
    EXPECT_EQ(pretty.err.find("KV830::"), std::string::npos);
    ASSERT_EQ(pretty.status, 0) << pretty.err;
    // The plant units of the signal table, as the page groups them.
    for (std::size_t u = 0; u < kv830::kUnitCount; ++u) {
        const std::string title =
            std::string("== ") + kv830::unit_heading(static_cast<kv830::Unit>(u)) + " (";
        EXPECT_NE(pretty.out.find(title), std::string::npos) << title;
    }
    EXPECT_NE(pretty.out.find("DV13开到位"), std::string::npos);
}

}  // namespace
