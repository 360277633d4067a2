// The one rule for remote writes, in-process: the command every remote path reads, and the
// policy that decides which commands reach a controller.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "write_command.h"
#include "write_policy.h"

namespace kv830host {
namespace {

std::string values_of(std::size_t n, int value) {
    std::string text = "[";
    for (std::size_t i = 0; i < n; ++i) {
        text += (i > 0 ? "," : "") + std::to_string(value);
    }
    return text + "]";
}

TEST(WriteCommand, ReadsEveryMemberOfItsForm) {
    struct Row {
        std::string payload;
        int address;
        std::vector<std::uint16_t> values;
        bool has_data_id;
        const char* command_id;
    };
    // clang-format off
    const Row rows[] = {
        {R"({"register": 19, "values": [250]})",                           19,  {250},      false, ""     },
        {R"({"values":[0,65535],"register":20,"data_id":4})",              20,  {0, 65535}, true,  ""     },
        {" {\"register\" : 23 ,\n \"values\" : [ 1, 2, 3 ] } ",            23,  {1, 2, 3},  false, ""     },
        {R"({"register": 246, "values": [7], "command_id": "设定-1"})",    246, {7},        false, "设定-1"},
        {R"({"register": 1, "values": [1], "command_id": ")" + std::string(64, 'x') + "\"}", 1, {1}, false,
         "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.payload);
        RemoteWrite write;
        std::string error;
        ASSERT_TRUE(parse_write_command(row.payload, write, error)) << error;
        EXPECT_EQ(write.command.address, row.address);
        EXPECT_EQ(write.command.values, row.values);
        EXPECT_EQ(write.has_data_id, row.has_data_id);
        EXPECT_EQ(write.command_id, row.command_id);
    }
}

TEST(WriteCommand, RefusesWhatIsNotACommandSayingWhy) {
    struct Row {
        std::string payload;
        const char* reason;
    };
    // clang-format off
    const Row rows[] = {
        {"",                                                    "not valid JSON"                },
        {"{",                                                   "not valid JSON (line 1"        },
        {R"({"register": 19, "values": [1])",                  "not valid JSON"                },
        {R"({"register": 19, "values": [1]} x)",               "not valid JSON"                },
        {std::string(R"({"register": 19, "values": [1]})") + '\0' + "garbage", "NUL byte"     },
        {std::string("\0\xff{", 3),                             "NUL byte"                      },
        {"{'register': 19, 'values': [1]}",                     "not valid JSON"                },
        {R"({"register": 19, "values": [1], })",               "not valid JSON"                },
        {R"(/* c */ {"register": 19, "values": [1]})",         "not valid JSON"                },
        {R"({"register": 19, "register": 20, "values": [1]})", "not valid JSON"                },
        {"[19, [1]]",                                           "an array, not an object"       },
        {"19",                                                  "an integer, not an object"     },
        {"\"write\"",                                           "a string, not an object"       },
        {"{\"values\": [1]}",                                   "no \"register\""               },
        {"{\"register\": 19}",                                  "no \"values\""                 },
        {R"({"register": 19, "values": [1], "force": true})", "unknown member \"force\""     },
        {R"({"register": "19", "values": [1]})",             "\"register\" is a string"      },
        {R"({"register": 19.0, "values": [1]})",               "\"register\" is a number with" },
        {R"({"register": null, "values": [1]})",               "\"register\" is null"          },
        {R"({"register": -1, "values": [1]})",                 "outside 0 to 65535"            },
        {R"({"register": 65536, "values": [1]})",              "outside 0 to 65535"            },
        {R"({"register": 99999999999999999999, "values": [1]})", "outside 0 to 65535"          },
        {R"({"register": 65535, "values": [1, 2]})",           "run past 65535"                },
        {R"({"register": 19, "values": 1})",                   "\"values\" is an integer"      },
        {R"({"register": 19, "values": []})",                  "\"values\" is empty"           },
        {R"({"register": 19, "values": [1, "2"]})",          "value 2 is a string"           },
        {R"({"register": 19, "values": [65536]})",             "outside 0 to 65535"            },
        {R"({"register": 19, "values": )" + values_of(124, 1) + "}", "124 values; at most 123" },
        {R"({"register": 19, "values": [1], "data_id": -1})",  "\"data_id\" -1 is outside"     },
        {R"({"register": 19, "values": [1], "command_id": 7})", "\"command_id\" is an integer" },
        {R"({"register": 19, "values": [1], "command_id": ""})", "1 to 64 characters"         },
        {R"({"register": 19, "values": [1], "command_id": ")" + std::string(65, 'x') + "\"}", "1 to 64 characters"},
        {R"({"register": 19, "values": [1], "command_id": "a\u0001"})", "control character"  },
        {R"({"register": 19, "values": [1], "pad": ")" + std::string(5000, 'x') + "\"}", "longer than 4096"},
        {R"({"register": 19, "values": )" + std::string(20, '[') + std::string(20, ']') + "}", "nested deeper"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.payload.substr(0, 80));
        RemoteWrite write;
        std::string error;
        EXPECT_FALSE(parse_write_command(row.payload, write, error));
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
        EXPECT_EQ(error.find("* Line"), std::string::npos) << "the library's layout: " << error;
    }
}

// The policy with two devices in front of a line that only records: each row is a write
// from outside; a refused one must not reach the line.
TEST(WritePolicyTest, DecidesEveryRemoteWriteBeforeTheLine) {
    std::ostringstream audit_text;
    StatusSink audit(audit_text);
    std::vector<WriteCommand> reached;
    std::vector<WriteDone> waiting;
    WritableRegisters ranged = WritableRegisters::settings_of_signal_table();
    ranged.set_range(19, 40, 150, "4 to 15 °C");
    WritePolicyLimits limits;
    limits.remembered_ids = 2;
    limits.waiting_per_device = 2;
    const SignalModel model;  // the plant model's defaults: register 19 takes 4 to 15 °C
    std::vector<WritePolicy::Device> devices;
    devices.push_back({1, ranged});
    devices.push_back({2, WritableRegisters::settings_of_signal_table()});
    devices.push_back({3, WritableRegisters::settings_of(model)});
    WritePolicy policy(
        std::move(devices), audit,
        [&](const WriteCommand& c, WriteDone done) {
            reached.push_back(c);
            waiting.push_back(std::move(done));
        },
        limits);
    struct Row {
        const char* name;
        RemoteWrite write;
        WriteRefusal refusal;  // None: reaches the line
        const char* reason;
    };
    auto make = [](unsigned id, bool has_id, int reg, std::vector<std::uint16_t> values,
                   const char* command_id = "", bool retained = false) {
        RemoteWrite w;
        w.command.data_id = id;
        w.has_data_id = has_id;
        w.command.address = reg;
        w.command.values = std::move(values);
        w.command_id = command_id;
        w.retained = retained;
        w.source = "test";
        return w;
    };
    // clang-format off
    const Row rows[] = {
        {"a setting",                        make(1, true, 19, {65}),                 WriteRefusal::None,          ""},
        {"no id with two devices",           make(0, false, 19, {65}),                WriteRefusal::UnknownDevice, "data_id is needed"},
        {"an unknown device",                make(9, true, 19, {65}),                 WriteRefusal::UnknownDevice, "no device with data id 9"},
        {"a measured pressure",              make(1, true, 100, {5}),                 WriteRefusal::Address,       "register 100 is not"},
        {"settings running into a reading",  make(1, true, 35, {1, 1}),               WriteRefusal::Address,       "register 36 is not"},
        {"a run of settings",                make(2, true, 19, {1, 2, 3, 4, 5}),      WriteRefusal::None,          ""},
        {"below the range",                  make(1, true, 19, {39}),                 WriteRefusal::Value,         "4 to 15 °C"},
        {"above the range",                  make(1, true, 19, {1007}),               WriteRefusal::Value,         "value 1007"},
        {"no range on the other device",     make(2, true, 19, {1007}),               WriteRefusal::None,          ""},
        {"the model's range, scaled",        make(3, true, 19, {1007}),               WriteRefusal::Value,         "100.7 °C, outside 4.0 to 15.0 °C"},
        {"within the model's range",         make(3, true, 19, {65}),                 WriteRefusal::None,          ""},
        {"a retained message",               make(1, true, 19, {65}, "", true),       WriteRefusal::Retained,      "retained"},
        {"a first command id",               make(1, true, 20, {1}, "op-1"),          WriteRefusal::None,          ""},
        {"the same id again",                make(1, true, 20, {1}, "op-1"),          WriteRefusal::Repeated,      "op-1"},
        {"more than the line may wait for",  make(2, true, 20, {1}),                  WriteRefusal::Busy,          "too many writes"},
    };
    // clang-format on
    // Outlive the loop: the line answers the accepted rows' callbacks after it.
    WriteOutcome got;
    // cppcheck-suppress variableScope ; the callbacks of accepted rows run after the loop
    int calls = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::size_t before = reached.size();
        got = WriteOutcome{};
        calls = 0;
        policy.submit(row.write, [&](const WriteOutcome& o) {
            got = o;
            ++calls;
        });
        if (row.refusal == WriteRefusal::None) {
            EXPECT_EQ(reached.size(), before + 1);
            EXPECT_EQ(calls, 0) << "answered only once the controller has";
        } else {
            // cppcheck-suppress knownConditionTrueFalse ; the line's callback may grow it
            EXPECT_EQ(reached.size(), before) << "a refused write reached the line";
            ASSERT_EQ(calls, 1);
            EXPECT_EQ(got.kind, WriteOutcome::Kind::Refused);
            EXPECT_EQ(got.refusal, row.refusal);
            EXPECT_NE(got.reason.find(row.reason), std::string::npos) << got.reason;
        }
    }
    // Answers free the line's places; ids are forgotten past the bound, in memory only.
    for (const WriteDone& done : waiting) {
        done(WriteOutcome{WriteOutcome::Kind::Confirmed, "", false});
    }
    waiting.clear();
    const std::size_t before = reached.size();
    for (const char* id : {"op-2", "op-3", "op-1"}) {
        policy.submit(make(2, true, 21, {1}, id), [](const WriteOutcome&) {});
        for (const WriteDone& done : waiting) {
            done(WriteOutcome{WriteOutcome::Kind::Confirmed, "", false});
        }
        waiting.clear();
    }
    EXPECT_EQ(reached.size(), before + 3);
    EXPECT_NE(audit_text.str().find("write from test: data id 1, register 100, values [5]: "
                                    "refused (register 100 is not an operator's setting)"),
              std::string::npos)
        << audit_text.str();
    EXPECT_EQ(policy.counters().accepted, reached.size());
}

}  // namespace
}  // namespace kv830host
