// kv830-host serving Modbus TCP against the simulator: clients nobody here wrote read the
// controller's image through the gateway, on the unit id its settings give it, and settings
// written through it reach the controller once each.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "e2e_support.h"
#include "kv830_data.h"
#include "modbus_client.h"

namespace {

using namespace e2e;
using Bytes = testproc::RawModbusClient::Bytes;

std::string run_client(const TempDir& dir, const std::vector<std::string>& args) {
    Process p(args, dir.file("client.out"), dir.file("client.err"));
    EXPECT_EQ(p.wait(20000ms), 0) << p.err();
    return p.out();
}

TEST(ModbusServer, ClientsReadTheImageAndWriteSettingsOnceThroughTheGateway) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen", "--verbose"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const int port = testproc::free_tcp_port();
    write_file(dir.file("settings.json"), R"({"server_unit": 7})");
    Process host(host_argv({"--tcp", sim.address(), "--settings", dir.file("settings.json"),
                            "--no-history", "--interval", "0.2", "--modbus-server",
                            std::to_string(port), "--modbus-server-writes"}),
                 dir.file("host.out"), dir.file("host.err"));
    ASSERT_TRUE(host.wait_for_err("cycle 1:", 10000ms)) << host.err();
    const std::string py_port = std::to_string(port);
    const auto pymodbus = [&](const std::string& ask) {
        return run_client(dir, {KV830_PYTHON3, PYMODBUS_CLIENT, "127.0.0.1", py_port, "7", ask});
    };

    // A write repeated with its transaction id gets the first answer and is not sent again.
    testproc::RawModbusClient raw(port);
    const Bytes write = {6, 0, 19, 0, 55};
    EXPECT_EQ(raw.ask(1, write, 76), (Bytes{0x86, 0x0B})) << "unit 1 is no device's now";
    EXPECT_EQ(raw.ask(7, write, 77), write);
    EXPECT_EQ(raw.ask(7, write, 77), write);
    EXPECT_EQ(pymodbus("w:20:11,12"), "written\n");
    EXPECT_EQ(pymodbus("w:100:1"), "exception 2\n") << "a measured value is no setting";
    EXPECT_EQ(pymodbus("w:19:200"), "exception 3\n") << "20 °C is outside 4 to 15 °C";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pymodbus("r:19:3") != "55 11 12\n" && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(pymodbus("r:19:3"), "55 11 12\n") << "read back through the gateway";

    std::vector<std::vector<int>> read;  // per block of the chain, as mbpoll read it
    for (const kv830::PollStep& s : kv830::kPollChain) {
        const bool inputs = s.source == kv830::Source::InputBits;
        std::istringstream out(
            run_client(dir, {KV830_MBPOLL, "-m", "tcp", "-p", py_port, "-a", "7", "-0", "-1", "-t",
                             inputs ? "1" : "4", "-r", std::to_string(s.first), "-c",
                             std::to_string(s.count), "127.0.0.1"}));
        read.emplace_back();
        for (std::string line; std::getline(out, line);) {
            const auto colon = line.find("]:");
            if (line.rfind('[', 0) == 0 && colon != std::string::npos) {
                read.back().push_back(std::stoi(line.substr(colon + 2)));
            }
        }
    }
    expect_prompt_stop(host);
    ASSERT_EQ(sim.stop(), 0);
    std::vector<int> holding;
    std::vector<int> inputs;
    ASSERT_TRUE(sim.read_dump(holding, inputs));
    EXPECT_EQ(holding[19], 55);
    EXPECT_EQ(holding[21], 12);
    for (std::size_t b = 0; b < read.size(); ++b) {
        const kv830::PollStep& s = kv830::kPollChain[b];
        const std::vector<int>& image = s.source == kv830::Source::InputBits ? inputs : holding;
        SCOPED_TRACE("block from " + std::to_string(s.first));
        EXPECT_EQ(read[b],
                  std::vector<int>(image.begin() + s.first, image.begin() + s.first + s.count));
    }
    const std::string log = sim.log();
    std::size_t writes = 0;
    for (auto at = log.find("write register 19 = 55"); at != std::string::npos;
         at = log.find("write register 19 = 55", at + 1)) {
        ++writes;
    }
    EXPECT_EQ(writes, 1U) << log;
}

}  // namespace
