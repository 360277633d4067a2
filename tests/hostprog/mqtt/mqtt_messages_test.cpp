#include "mqtt_messages.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <memory>

namespace {

using kv830host::parse_write_command;
using kv830host::WriteCommand;

Json::Value parse_json(const std::string& text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string error;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &error)) << text;
    return v;
}

std::string values_of(std::size_t n, int value) {
    std::string text = "[";
    for (std::size_t i = 0; i < n; ++i) {
        text += (i > 0 ? "," : "") + std::to_string(value);
    }
    return text + "]";
}

TEST(WriteCommand, AcceptsOneOrSeveralValuesForSettingRegisters) {
    // Registers 19 to 27 are consecutive settings of the controller; 246 a single one.
    struct Row {
        std::string payload;
        int address;
        std::vector<std::uint16_t> values;
    };
    const Row rows[] = {
        {R"({"register": 19, "values": [250]})",                19,  {250}     },
        {R"({"values":[0,65535],"register":20})",               20,  {0, 65535}},
        {" {\"register\" : 23 ,\n \"values\" : [ 1, 2, 3 ] } ", 23,  {1, 2, 3} },
        {R"({"register": 246, "values": [7]})",                 246, {7}       },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.payload);
        WriteCommand command;
        std::string error;
        ASSERT_TRUE(parse_write_command(row.payload, 4, command, error)) << error;
        EXPECT_EQ(command.data_id, 4U);
        EXPECT_EQ(command.address, row.address);
        EXPECT_EQ(command.values, row.values);
    }
}

TEST(WriteCommand, RefusesMalformedCommandsWithTheReason) {
    struct Row {
        std::string payload;
        const char* reason;
    };
    // clang-format off
    const Row rows[] = {
        {"",                                                    "not valid JSON"                },
        {"{",                                                   "not valid JSON"                },
        {R"({"register": 19, "values": [1])",                  "not valid JSON"                },
        {R"({"register": 19, "values": [1]} x)",               "not valid JSON"                },
        {"{'register': 19, 'values': [1]}",                     "not valid JSON"                },
        {R"({"register": 19, "values": [1], })",               "not valid JSON"                },
        {R"(/* c */ {"register": 19, "values": [1]})",         "not valid JSON"                },
        {R"({"register": 19, "register": 20, "values": [1]})", "not valid JSON"              },
        {"[19, [1]]",                                           "an array, not an object"       },
        {"19",                                                  "not valid JSON"                },
        {"\"write\"",                                           "not valid JSON"                },
        {"{\"values\": [1]}",                                   "no \"register\""               },
        {"{\"register\": 19}",                                  "no \"values\""                 },
        {R"({"register": 19, "values": [1], "force": true})", "unknown member \"force\""     },
        {R"({"register": "19", "values": [1]})",             "\"register\" is a string"      },
        {R"({"register": 19.0, "values": [1]})",               "\"register\" is a number with" },
        {R"({"register": 1e1, "values": [1]})",                "\"register\" is a number with" },
        {R"({"register": null, "values": [1]})",               "\"register\" is null"          },
        {R"({"register": -1, "values": [1]})",                 "outside 0 to 65535"            },
        {R"({"register": 65536, "values": [1]})",              "outside 0 to 65535"            },
        {R"({"register": 99999999999999999999, "values": [1]})", "outside 0 to 65535"          },
        {R"({"register": 9999, "values": [1]})",               "register 9999 is not a known"  },
        {R"({"register": 40, "values": [1]})",                 "register 40 is not a known"    },
        {R"({"register": 35, "values": [1, 2]})",              "register 36 is not a known"    },
        {R"({"register": 65535, "values": [1, 2]})",           "run past 65535"                },
        {R"({"register": 19, "values": 1})",                   "\"values\" is an integer"      },
        {R"({"register": 19, "values": {}})",                  "\"values\" is an object"       },
        {R"({"register": 19, "values": []})",                  "\"values\" is empty"           },
        {R"({"register": 19, "values": [1.5]})",               "value 1 is a number with"      },
        {R"({"register": 19, "values": [1, "2"]})",          "value 2 is a string"           },
        {R"({"register": 19, "values": [true]})",              "value 1 is a boolean"          },
        {R"({"register": 19, "values": [[1]]})",               "value 1 is an array"           },
        {R"({"register": 19, "values": [65536]})",             "outside 0 to 65535"            },
        {R"({"register": 19, "values": [-1]})",                "outside 0 to 65535"            },
        {R"({"register": 19, "values": )" + values_of(124, 1) + "}", "124 values; at most 123" },
        {R"({"register": 19, "values": [1], "pad": ")" + std::string(5000, 'x') + "\"}",
         "longer than 4096"                                                                     },
        {R"({"register": 19, "values": )" + std::string(20, '[') + std::string(20, ']') + "}",
         "not valid JSON"                                                                       },
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.payload.substr(0, 80));
        WriteCommand command;
        std::string error;
        EXPECT_FALSE(parse_write_command(row.payload, 1, command, error));
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    }
}

TEST(WriteCommand, ResultCarriesCommandOutcomeAndReason) {
    WriteCommand command;
    command.address = 246;
    command.values = {1, 2};
    const Json::Value v = parse_json(kv830host::format_write_result(
        &command, kv830host::write_outcome_text(kv830host::WriteOutcome::Kind::NotConfirmed),
        "echo differs"));
    EXPECT_EQ(v["register"].asInt(), 246);
    ASSERT_EQ(v["values"].size(), 2U);
    EXPECT_EQ(v["values"][1].asInt(), 2);
    EXPECT_EQ(v["outcome"].asString(), "not confirmed");
    EXPECT_EQ(v["reason"].asString(), "echo differs");

    const Json::Value refused =
        parse_json(kv830host::format_write_result(nullptr, "refused", "not valid JSON"));
    EXPECT_TRUE(refused["register"].isNull());
    EXPECT_TRUE(refused["values"].isNull());
    EXPECT_EQ(refused["outcome"].asString(), "refused");
}

TEST(CycleJson, CarriesTheCycleWithItsOwnTimes) {
    kv830host::CycleReport r;
    r.data_id = 3;
    r.number = 42;
    r.completed = true;
    r.duration_s = 0.5;
    r.answered = 17;
    r.failed = 1;
    r.retries = 2;
    r.end_unix_ms = 1796000000123LL;  // 2026-11-30T00:53:20.123Z
    r.last_completed_unix_ms = 1796000000123LL;
    const Json::Value v = parse_json(kv830host::format_cycle_json(r));
    EXPECT_EQ(v["data_id"].asUInt(), 3U);
    EXPECT_EQ(v["number"].asUInt64(), 42U);
    EXPECT_TRUE(v["completed"].asBool());
    EXPECT_DOUBLE_EQ(v["duration_s"].asDouble(), 0.5);
    EXPECT_EQ(v["answered"].asUInt(), 17U);
    EXPECT_EQ(v["failed"].asUInt(), 1U);
    EXPECT_EQ(v["retries"].asUInt(), 2U);
    EXPECT_EQ(v["time"].asString(), "2026-11-30T00:53:20.123Z");
    EXPECT_EQ(v["last_completed"].asString(), "2026-11-30T00:53:20.123Z");

    r.last_completed_unix_ms = 0;
    EXPECT_TRUE(parse_json(kv830host::format_cycle_json(r))["last_completed"].isNull());
}

}  // namespace
