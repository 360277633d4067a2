// The gateway's signal model through the settings document, as the program's start reads
// it: the defaults, a commissioning engineer's overrides, and the refusals that end the
// start with exit 2 before any link opens. Then the node id and the signals listing.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <sstream>
#include <string>
#include <vector>

#include "node_id.h"
#include "options.h"
#include "process.h"
#include "program.h"
#include "signals_command.h"

namespace kv830host {
namespace {

using testproc::TempDir;
using testproc::write_file;

// What an accepted document gives: the device (data id) and signal looked at, counts,
// and what they are.
struct Expect {
    unsigned data_id;
    const char* signal;
    int raw;
    const char* shown;  // format_engineering of the counts
    bool writable;      // check_setting_value of the counts
    const char* alarm;  // "fault", "alarm" or ""
};

struct Row {
    const char* settings;  // the settings document, or its members beside a link
    const char* error;     // a part of the refusal, or nullptr when it is accepted
    Expect expect;
};

constexpr const char* kLink = R"("modbus": {"tcp": "127.0.0.1:1"})";

std::string doc(const char* members) {
    return std::string("{") + kLink + (*members != '\0' ? ", " : "") + members + "}";
}

TEST(SignalModel, DefaultsOverridesAndRefusals) {
    const Row rows[] = {
  // The plant model's defaults.
        {"",                                                                                          nullptr,                                                  {1, "冷冻供水温度", 65, "6.5 °C", true, ""}                    },
        {"",                                                                                          nullptr,                                                  {1, "冷冻水供水主管温度设定", 1007, "100.7 °C", false, ""}},
        {"",                                                                                          nullptr,                                                  {1, "冷冻水供水主管温度设定", 65, "6.5 °C", true, ""}     },
        {"",                                                                                          nullptr,                                                  {1, "蒸发冷电表总电能", 12345, "12345 kWh", true, ""}         },
        {"",                                                                                          nullptr,                                                  {1, "加药装置PH显示", 805, "8.05", true, ""}                    },
        {"",                                                                                          nullptr,                                                  {1, "螺杆机故障", 1, "1", true, "fault"}                         },
        {"",                                                                                          nullptr,                                                  {1, "室外温度低限报警", 1, "1", true, "alarm"}                },
        {"",                                                                                          nullptr,                                                  {1, "1#冷却塔工频故障", 1, "1", true, "fault"}                 },
        {"",                                                                                          nullptr,                                                  {1, "室外温度", 65486, "-5.0 °C", true, ""}                      },
 // Overrides: scale, sign, unit, range, alarm marking.
        {R"("signals": {"冷冻水供水主管温度设定": {"scale": 0.01, "min": 4, "max": 15}})",
         nullptr,                                                                                                                                               {1, "冷冻水供水主管温度设定", 650, "6.50 °C", true, ""}   },
        {R"("signals": {"室外温度": {"signed": false}})",
         nullptr,                                                                                                                                               {1, "室外温度", 65486, "6548.6 °C", false, ""}                   },
        {R"("signals": {"室外温度": {"unit_of_measurement": "°F", "scale": 0.18, "offset": 32,
            "min": -40, "max": 140}})",
         nullptr,                                                                                                                                               {1, "室外温度", 250, "77.00 °F", true, ""}                       },
        {R"("signals": {"加药装置1#低液位": {"alarm": true}})",
         nullptr,                                                                                                                                               {1, "加药装置1#低液位", 1, "1", true, "alarm"}                 },
        {R"("signals": {"螺杆机故障": {"priority": "alarm"}})",
         nullptr,                                                                                                                                               {1, "螺杆机故障", 1, "1", true, "alarm"}                         },
        {R"("signals": {"螺杆机故障": {"alarm": false}})",
         nullptr,                                                                                                                                               {1, "螺杆机故障", 1, "1", true, ""}                              },
        {R"("server_unit": 0, "node_id": "plant-A_2")",
         nullptr,                                                                                                                                               {1, "室外温度", 259, "25.9 °C", true, ""}                        },
 // Per device in a list: the override is that device's alone.
        {R"({"node_id": "gw", "devices": [
             {"data_id": 1, "modbus": {"tcp": "127.0.0.1:1"}},
             {"data_id": 2, "modbus": {"tcp": "127.0.0.1:1", "slave": 2}, "server_unit": 9,
              "signals": {"室外温度": {"scale": 1, "min": 0, "max": 60}}}]})",
         nullptr,                                                                                                                                               {2, "室外温度", 25, "25 °C", true, ""}                           },
 // Refusals.
        {R"("signals": {"冷冻供水温度设定": {}})",
         "unknown signal \"冷冻供水温度设定\" (did you mean \"冷冻供水温度\"?)",                                                                  {}                                                                    },
        {R"("signals": {"室外温度": {"scal": 1}})",
         "unknown member \"scal\" (did you mean \"scale\"?)",                                                                                                   {}                                                                    },
        {R"("signals": {"室外温度": {"unit": "°C"}})",                                           "is \"unit_of_measurement\"",                             {}                                                                    },
        {R"("signals": {"室外温度": {"unit_of_measurement": "kPa"}})",
         "does not fit temperature",                                                                                                                            {}                                                                    },
        {R"("signals": {"室外温度": {"unit_of_measurement": "°F"}})",
         "give \"min\" and \"max\"",                                                                                                                            {}                                                                    },
        {R"("signals": {"室外温度": {"scale": 0}})",                                              "\"scale\" must not be 0",                                {}                                                                    },
        {R"("signals": {"室外温度": {"quantity": "temprature"}})",
         "did you mean \"temperature\"",                                                                                                                        {}                                                                    },
        {R"("signals": {"室外温度": {"min": 50, "max": 10}})",
         "\"min\" 50 is above \"max\" 10",                                                                                                                      {}                                                                    },
        {R"("signals": {"室外温度": {"alarm": true}})",                                           "marks on/off signals",                                   {}                                                                    },
        {R"("signals": {"系统启动": {"priority": "fault"}})",                                     "\"priority\" is for alarms",                             {}                                                                    },
        {R"("signals": {"螺杆机故障": {"scale": 2}})",                                           "takes only \"alarm\" and \"priority\"",                  {}                                                                    },
        {R"("signals": ["室外温度"])",                                                            "\"signals\" must be an object",                          {}                                                                    },
        {R"("signal": {})",                                                                           "did you mean \"signals\"",                               {}                                                                    },
        {R"("server_unit": 256)",                                                                     "\"server_unit\" must be a Modbus unit id from 0 to 255", {}                                                                    },
        {R"("node_id": "plant a")",                                                                   "letters, digits",                                        {}                                                                    },
        {R"({"devices": [{"data_id": 1, "modbus": {"tcp": "h:1"}, "node_id": "x"}]})",
         "devices[0]: \"node_id\" names the gateway",                                                                                                           {}                                                                    },
        {R"({"signals": {}, "devices": [{"data_id": 1, "modbus": {"tcp": "h:1"}}]})",
         "\"signals\" belongs in each entry of \"devices\"",                                                                                                    {}                                                                    },
    };
    TempDir dir;
    const std::string file = dir.file("settings.json");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.settings);
        write_file(file, row.settings[0] == '{' ? row.settings : doc(row.settings));
        const char* argv[] = {"kv830-host", "--settings", file.c_str()};
        Options o;
        std::string error;
        const bool ok = parse_options(3, argv, o, error);
        if (row.error != nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(row.error), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        const DeviceOptions* device = nullptr;
        for (const DeviceOptions& d : o.devices) {
            device = d.data_id == row.expect.data_id ? &d : device;
            // The device's InitSetting sees the document without the gateway's members.
            for (const char* member : {"signals", "server_unit", "node_id"}) {
                EXPECT_FALSE(d.settings.isMember(member)) << member;
            }
        }
        ASSERT_NE(device, nullptr);
        const SignalTraits* traits = device->gateway.signals.find(row.expect.signal);
        ASSERT_NE(traits, nullptr);
        const auto raw = static_cast<std::uint16_t>(row.expect.raw);
        EXPECT_EQ(format_engineering(*traits, raw_to_engineering(*traits, raw)), row.expect.shown);
        std::string reason;
        EXPECT_EQ(check_setting_value(*traits, raw, reason), row.expect.writable) << reason;
        EXPECT_EQ(kv830model::alarm_name(traits->alarm), std::string(row.expect.alarm));
        std::uint16_t back = 0;
        EXPECT_TRUE(engineering_to_raw(*traits, raw_to_engineering(*traits, raw), back));
        EXPECT_EQ(back, raw);
        if (traits->row->kind == kv830::SignalKind::Value ||
            traits->row->kind == kv830::SignalKind::Enum) {
            EXPECT_EQ(device->gateway.signals.find_register(traits->row->source), traits);
        }
    }
}

TEST(SignalModel, RefusalEndsTheStartWithTwoBeforeAnyLink) {
    TempDir dir;
    const std::string file = dir.file("settings.json");
    // A peer that would only be reached if the refusal came too late.
    write_file(file, doc(R"("signals": {"室外温度": {"scale": 0}})"));
    const char* argv[] = {"kv830-host", "--settings", file.c_str(), "--cycles", "1"};
    EXPECT_EQ(run_main(5, argv), kExitUsage);
    std::string reason;
    const SignalModel model;
    EXPECT_FALSE(check_setting_value(*model.find("冷冻水供水主管温度设定"), 1007, reason));
    EXPECT_EQ(reason, "冷冻水供水主管温度设定: 1007 is 100.7 °C, outside 4.0 to 15.0 °C");
    // The same range in counts, for a rule that compares counts.
    std::uint16_t low = 0;
    std::uint16_t high = 0;
    ASSERT_TRUE(setting_raw_range(*model.find("冷冻水供水主管温度设定"), low, high));
    EXPECT_EQ(low, 40);
    EXPECT_EQ(high, 150);
    SignalTraits outdoor = *model.find("室外温度");
    outdoor.is_signed = true;
    EXPECT_FALSE(setting_raw_range(outdoor, low, high)) << "-40 to 60 °C is two runs of counts";
}

TEST(NodeId, GivenElseMachineElseKeptBesideTheHistory) {
    TempDir dir;
    const std::string machine = dir.file("machine-id");
    const std::string kept = node_id_file_beside(dir.file("history.db"));
    EXPECT_EQ(kept, dir.file(kNodeIdFileName));
    std::string id;
    std::string error;
    ASSERT_TRUE(resolve_node_id("given", machine, kept, id, error)) << error;
    EXPECT_EQ(id, "given");
    // No machine id: a random id, written once and read back after.
    ASSERT_TRUE(resolve_node_id("", machine, kept, id, error)) << error;
    std::string again;
    ASSERT_TRUE(resolve_node_id("", machine, kept, again, error)) << error;
    EXPECT_EQ(again, id);
    EXPECT_TRUE(check_node_id(id, error)) << id;
    // A machine id wins over the kept file, stable, and never shown as it is.
    write_file(machine, "0123456789abcdef0123456789abcdef\n");
    ASSERT_TRUE(resolve_node_id("", machine, kept, id, error)) << error;
    EXPECT_EQ(id, node_id_from_machine_id("0123456789abcdef0123456789abcdef"));
    EXPECT_EQ(id.size(), 12U);
    EXPECT_EQ(node_id_from_machine_id("uninitialized"), "");
    write_file(machine, "");
    write_file(kept, "not a node id\n");
    EXPECT_FALSE(resolve_node_id("", machine, kept, id, error));
    EXPECT_NE(error.find("remove it or give --node-id"), std::string::npos) << error;
}

TEST(SignalsCommand, ListsTheModelAsApplied) {
    TempDir dir;
    const std::string file = dir.file("settings.json");
    write_file(file, doc(R"("signals": {"室外温度": {"signed": true, "min": -30, "max": 50}})"));
    for (const char* format : {"table", "csv", "jsonl"}) {
        SCOPED_TRACE(format);
        const char* argv[] = {"signals", "--settings", file.c_str(), "--format", format};
        std::ostringstream out;
        std::ostringstream err;
        ASSERT_EQ(run_signals(5, argv, out, err, ""), kExitOk) << err.str();
        std::istringstream lines(out.str());
        std::string line;
        std::string outdoor;
        int count = 0;
        int overridden = 0;
        while (std::getline(lines, line)) {
            ++count;
            // The origin: the last column, a member in JSON.
            const std::string origin = "settings";
            const bool last = line.size() > origin.size() &&
                              line.compare(line.size() - origin.size(), origin.size(), origin) == 0;
            if (last || line.find("\"origin\":\"settings\"") != std::string::npos) {
                ++overridden;
                outdoor = line;
            }
        }
        // One line per signal name (296), and a header but in JSON lines.
        EXPECT_EQ(count, std::string(format) == "jsonl" ? 296 : 297);
        EXPECT_EQ(overridden, 1);
        EXPECT_NE(outdoor.find("室外温度"), std::string::npos) << outdoor;
        EXPECT_NE(outdoor.find("-30"), std::string::npos) << outdoor;
        if (std::string(format) == "jsonl") {
            Json::Value row;
            std::istringstream text(outdoor);
            ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &row, nullptr));
            EXPECT_EQ(row["unit_of_measurement"].asString(), "°C");
            EXPECT_EQ(row["register"].asInt(), 93);
            EXPECT_TRUE(row["signed"].asBool());
        }
    }
    const char* bad[] = {"signals", "--format", "xml"};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(run_signals(3, bad, out, err, ""), kExitUsage);
    EXPECT_NE(err.str().find("table, csv or jsonl"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace kv830host
