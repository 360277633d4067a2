// Home Assistant's view of the plant end to end: kv830-host against the simulator, its
// discovery through a real mosquitto broker, its templates rendered by Jinja as Home
// Assistant renders them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "broker.h"
#include "e2e_support.h"

namespace {

using namespace e2e;

// Jinja's output for `template_text` over the payload, or "" when it failed.
std::string render(const TempDir& dir, const std::string& template_text, const std::string& payload,
                   const std::string& value = "") {
    write_file(dir.file("payload.json"), payload);
    std::vector<std::string> argv = {KV830_PYTHON3, KV830_RENDER_HA_TEMPLATE, template_text,
                                     dir.file("payload.json")};
    if (!value.empty()) {
        argv.push_back(value);
    }
    Process python(argv, dir.file("render.out"), dir.file("render.err"));
    if (python.wait(20000ms) != 0) {
        ADD_FAILURE() << read_file(dir.file("render.err"));
        return "";
    }
    std::string out = read_file(dir.file("render.out"));
    return out.substr(0, out.find('\n'));
}

TEST(MonitoringHa, DiscoveryCarriesUnitsAndItsTemplatesScale) {
    mqtttest::Broker broker;
    std::string error;
    ASSERT_TRUE(broker.start(error)) << error;
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string prefix = "e2e-ha-" + std::to_string(getpid());
    mqtttest::Subscriber sub(broker.port(), "#");
    ASSERT_TRUE(sub.connect(error)) << error;
    // What a release before the node id left behind.
    const std::string former = "homeassistant/device/kv830_1/config";
    ASSERT_TRUE(sub.publish(former, "{\"o\":{\"name\":\"kv830-host\"}}", true));
    const HostRun run = run_host(dir,
                                 {"--tcp", sim.address(), "--mqtt", broker.url(), "--mqtt-topic",
                                  prefix, "--ha-discovery", "--mqtt-writes", "--node-id", "e2e",
                                  "--cycles", "3", "--interval", "200ms", "--no-history"},
                                 60000ms);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string topic = "homeassistant/device/kv830_e2e_1/config";
    ASSERT_TRUE(sub.wait_count(topic, 1, 20s)) << run.err;
    ASSERT_TRUE(sub.wait_count(prefix + "/snapshot", 3, 20s)) << run.err;
    const std::vector<mqtttest::Message> cleared = sub.on(former);
    ASSERT_FALSE(cleared.empty());
    EXPECT_EQ(cleared.back().payload, "");
    Json::Value discovery;
    ASSERT_TRUE(parse_json(sub.on(topic).back().payload, discovery));
    const std::string snapshot = sub.on(prefix + "/snapshot").back().payload;
    Json::Value values;
    ASSERT_TRUE(parse_json(snapshot, values));

    struct Row {
        const char* component;
        const char* name;
        const char* unit;
        double scale;
    };
    const Row rows[] = {
        {"hr82",  "冷冻供水温度",                "°C", 0.1},
        {"hr194", "蒸发冷电表总电能",          "kWh", 1.0},
        {"hr19",  "冷冻水供水主管温度设定", "°C", 0.1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Json::Value& c = discovery["cmps"][row.component];
        EXPECT_EQ(c["name"].asString(), row.name);
        EXPECT_EQ(c["unit_of_measurement"].asString(), row.unit);
        const double raw = values[row.name].asDouble();
        const std::string state = render(dir, c["value_template"].asString(), snapshot);
        EXPECT_NEAR(std::atof(state.c_str()), raw * row.scale, 1e-9) << state;
        if (c["p"].asString() == "number") {
            // Setting the state back writes the counts it came from.
            EXPECT_EQ(render(dir, c["command_template"].asString(), snapshot, state),
                      "{\"register\":19,\"values\":[" + std::to_string(std::lround(raw)) + "]}");
        }
    }
    EXPECT_EQ(discovery["cmps"]["hr19"]["p"].asString(), "number");
}

}  // namespace
