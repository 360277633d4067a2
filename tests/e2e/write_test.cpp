// Register writes through kv830.so: the controller's echo decides the outcome.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

using namespace e2e;

std::vector<int> holding_after(Simulator& sim) {
    EXPECT_EQ(sim.stop(), 0);
    std::vector<int> holding;
    std::vector<int> inputs;
    EXPECT_TRUE(sim.read_dump(holding, inputs));
    return holding;
}

TEST(Write, SingleRegisterConfirmedOverTcp) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun run =
        run_host(dir, {"--tcp", sim.address(), "--write", "19=4321", "--no-history"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("write register 19=4321: confirmed"), std::string::npos) << run.err;
    const auto holding = holding_after(sim);
    ASSERT_EQ(holding.size(), 286U);
    EXPECT_EQ(holding[19], 4321);
}

TEST(Write, MultipleRegistersConfirmedOverRtu) {
    TempDir dir;
    Simulator sim(dir, {"--pty"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun run =
        run_host(dir, {"--device", sim.address(), "--write", "61=11,22,33", "--no-history"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("confirmed"), std::string::npos) << run.err;
    const auto holding = holding_after(sim);
    ASSERT_EQ(holding.size(), 286U);
    EXPECT_EQ(holding[61], 11);
    EXPECT_EQ(holding[62], 22);
    EXPECT_EQ(holding[63], 33);
}

TEST(Write, ExceptionReplyIsRefusedWithItsCode) {
    TempDir dir;
    Simulator sim(dir, {"--pty"}, {"--frozen", "--exception-at", "14,15"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun single =
        run_host(dir, {"--device", sim.address(), "--write", "14=5", "--no-history"});
    EXPECT_EQ(single.status, 3) << single.err;
    EXPECT_NE(single.err.find("refused (exception 2)"), std::string::npos) << single.err;
    // An exception must not pass for the echo even when the value written is the one
    // an exception reply would carry.
    const HostRun multiple =
        run_host(dir, {"--device", sim.address(), "--write", "13=16,1", "--no-history"});
    EXPECT_EQ(multiple.status, 3) << multiple.err;
    EXPECT_NE(multiple.err.find("refused (exception 2)"), std::string::npos) << multiple.err;
    const HostRun other =
        run_host(dir, {"--device", sim.address(), "--write", "20=16", "--no-history"});
    EXPECT_EQ(other.status, 0) << other.err;
}

TEST(Write, DroppedReplyLeavesNoResult) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen", "--drop-every", "1"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const HostRun run = run_host(
        dir, {"--tcp", sim.address(), "--write", "19=1", "--timeout", "300ms", "--no-history"});
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_NE(run.err.find("no reply"), std::string::npos) << run.err;
}

}  // namespace
