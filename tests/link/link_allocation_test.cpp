// Every Modbus reply goes through the link's reply path, which must not allocate: the
// process's allocations are counted from a round's first request to its last, over a
// real line to the plant simulator, with the device taking each reply.
#include <gtest/gtest.h>

#include <sstream>

#include "alloc_count.h"
#include "kv830.h"
#include "modbus_link.h"
#include "process.h"

namespace {

constexpr int kRequestsPerRound = 17;

// Notes the allocation count when the device sends its first and its last request of a
// round: between them lie 16 whole exchanges.
class Bracket : public qdxhost::Observer {
  public:
    int requests = 0;
    unsigned long long at_first = 0;
    unsigned long long at_last = 0;
    void on_request(SPModbus&, const qdxhost::Request&) override {
        ++requests;
        if (requests == 1) {
            at_first = kv830bench::allocation_count();
        } else if (requests == kRequestsPerRound) {
            at_last = kv830bench::allocation_count();
        }
    }
};

TEST(LinkAllocation, TheCounterSeesAnAllocation) {
    static void* volatile sink = nullptr;
    const unsigned long long before = kv830bench::allocation_count();
    sink = ::operator new(16);
    ::operator delete(sink);
    EXPECT_EQ(kv830bench::allocation_count() - before, 1U);
}

TEST(LinkAllocation, ExchangesOfARoundAllocateNothing) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        bool tcp;
    } rows[] = {
        {"pty", {"--pty", "--frozen"},      false},
        {"tcp", {"--tcp", "0", "--frozen"}, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> argv{PLANT_SIM_BIN};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        testproc::ServerProcess sim(argv);
        ASSERT_FALSE(sim.address().empty()) << sim.log();
        qdxhost::LinkSettings s;
        (row.tcp ? s.tcp : s.device) = sim.address();
        std::ostringstream log;
        qdxhost::ModbusLink link(s, log);
        KV830 device;
        Bracket bracket;
        qdxhost::HostAccess::set_observer(device, &bracket);
        testing::internal::CaptureStdout();
        for (int round = 0; round < 4; ++round) {
            bracket.requests = 0;
            device.RefreshStatus();
            const qdxhost::DriveResult d = link.drive(device);
            ASSERT_EQ(d.answered, static_cast<unsigned>(kRequestsPerRound)) << log.str();
            ASSERT_EQ(bracket.requests, kRequestsPerRound);
            // The first round opens the line.
            if (round > 0) {
                EXPECT_EQ(bracket.at_last - bracket.at_first, 0U) << "round " << round;
            }
        }
        testing::internal::GetCapturedStdout();
        qdxhost::HostAccess::set_observer(device, nullptr);
    }
}

}  // namespace
