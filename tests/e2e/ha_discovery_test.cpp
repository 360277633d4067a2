// Home Assistant's view of the plant end to end: kv830-host against the simulator, its
// discovery through a real mosquitto broker, its templates rendered by Jinja as Home
// Assistant renders them.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "broker.h"
#include "e2e_support.h"

namespace {

using namespace e2e;

TEST(MonitoringHa, DiscoveryCarriesUnitsAndItsTemplatesScale) {
    mqtttest::Broker broker;
    std::string error;
    ASSERT_TRUE(broker.start(error)) << error;
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    mqtttest::Subscriber sub(broker.port(), "#");
    ASSERT_TRUE(sub.connect(error)) << error;
    // What a release before the node id left behind.
    const std::string former = "homeassistant/device/kv830_1/config";
    ASSERT_TRUE(sub.publish(former, "{}", true));
    const HostRun run = run_host(
        dir, {"--tcp", sim.address(), "--mqtt", broker.url(), "--ha-discovery", "--mqtt-writes",
              "--node-id", "e2e", "--cycles", "3", "--interval", "200ms", "--no-history"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string topic = "homeassistant/device/kv830_e2e_1/config";
    ASSERT_TRUE(sub.wait_count(topic, 1, 20s) && sub.wait_count("kv830/1/snapshot", 3, 20s));
    // Its own retained "{}", then cleared once.
    ASSERT_EQ(sub.on(former).size(), 2U);
    EXPECT_EQ(sub.on(former).back().payload, "");
    write_file(dir.file("discovery.json"), sub.on(topic).back().payload);
    write_file(dir.file("snapshot.json"), sub.on("kv830/1/snapshot").back().payload);
    Process python({KV830_PYTHON3, KV830_RENDER_HA_TEMPLATE, dir.file("discovery.json"),
                    dir.file("snapshot.json"), "hr82", "hr19"},
                   dir.file("render.out"), dir.file("render.err"));
    ASSERT_EQ(python.wait(20000ms), 0) << python.err();
    Json::Value discovery, snapshot;
    ASSERT_TRUE(parse_json(read_file(dir.file("discovery.json")), discovery) &&
                parse_json(read_file(dir.file("snapshot.json")), snapshot));
    const Json::Value& supply = discovery["cmps"]["hr82"];
    EXPECT_EQ(supply["name"].asString() + " " + supply["unit_of_measurement"].asString(),
              "冷冻供水温度 °C");
    std::istringstream rendered(python.out());
    double state = 0.0;
    std::string setpoint, command;
    rendered >> state >> setpoint >> command;
    EXPECT_NEAR(state, snapshot["冷冻供水温度"].asDouble() * 0.1, 1e-9) << python.out();
    // Setting the setpoint to what it shows writes the counts it came from.
    EXPECT_EQ(command,
              "{\"register\":19,\"values\":[" +
                  std::to_string(std::lround(snapshot["冷冻水供水主管温度设定"].asDouble())) + "]}")
        << python.out();
}

}  // namespace
