// The link's settings: what the "modbus" object and the command line may say, and the
// refusals a user sees before any traffic.
#include "link_settings.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <string>

namespace {

using qdxhost::LinkSettings;

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errors)) << text;
    return v;
}

TEST(LinkSettings, SettingsDocumentMembers) {
    struct Row {
        const char* json;
        const char* error;  // "" when accepted
    };
    const Row rows[] = {
        {R"({})",                                                  ""                                   },
        {R"({"modbus": {"device": "/dev/ttyS1", "baud": 19200}})", ""                                   },
        {R"({"modbus": {"retries": 4, "pause_ms": 3}})",           ""                                   },
        {R"({"modbus": {"parity": "even"}})",                      ""                                   },
        {R"({"modbus": {"parity": "none"}})",                      ""                                   },
        {R"({"modbus": {"parity": "X"}})",                         "modbus.parity must be N, E or O"    },
        {R"({"modbus": {"parity": 1}})",                           "modbus.parity must be N, E or O"    },
        {R"({"modbus": {"baud": "9600"}})",                        "modbus.baud must be an integer"     },
        {R"({"modbus": {"device": 5}})",                           "modbus.device must be a string"     },
        {R"({"modbus": {"timeout": 5000}})",                       R"(did you mean "timeout_ms"?)"           },
        {R"({"modbus": {"retry": 1}})",                            R"(did you mean "retries"?)"              },
        {R"({"modbus": {"colour": "red"}})",                       "modbus.colour is not a link setting"},
        {R"({"modbus": 3})",                                       "modbus must be an object"           },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.json);
        LinkSettings s;
        std::string error;
        const bool ok = qdxhost::read_link_settings(parse(row.json), s, error);
        EXPECT_EQ(ok, row.error[0] == '\0') << error;
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
    }
}

TEST(LinkSettings, MembersReachTheSettings) {
    LinkSettings s;
    std::string error;
    ASSERT_TRUE(qdxhost::read_link_settings(
        parse(R"({"modbus": {"device": "/dev/x", "baud": 38400, "parity": "odd", "data_bits": 7,
                             "stop_bits": 2, "slave": 9, "timeout_ms": 250, "pause_ms": 0,
                             "retries": 5}})"),
        s, error))
        << error;
    EXPECT_EQ(s.device, "/dev/x");
    EXPECT_EQ(s.baud, 38400);
    EXPECT_EQ(s.parity, 'O');
    EXPECT_EQ(s.data_bits, 7);
    EXPECT_EQ(s.stop_bits, 2);
    EXPECT_EQ(s.slave, 9);
    EXPECT_EQ(s.timeout_ms, 250);
    EXPECT_EQ(s.pause_ms, 0);
    EXPECT_EQ(s.retries, 5);
}

TEST(LinkSettings, Checks) {
    struct Row {
        const char* name;
        void (*change)(LinkSettings&);
        const char* error;
    };
    const Row rows[] = {
        {"serial defaults", [](LinkSettings&) {},                          ""                           },
        {"no link",         [](LinkSettings& s) { s.device.clear(); },     "no link"                    },
        {"baud 123",        [](LinkSettings& s) { s.baud = 123; },         "cannot be set to 123 baud"  },
        {"baud 14400",      [](LinkSettings& s) { s.baud = 14400; },       "cannot be set to 14400 baud"},
        {"baud 115200",     [](LinkSettings& s) { s.baud = 115200; },      ""                           },
        {"rtu slave 0",     [](LinkSettings& s) { s.slave = 0; },          "1 to 247"                   },
        {"rtu slave 247",   [](LinkSettings& s) { s.slave = 247; },        ""                           },
        {"rtu slave 248",   [](LinkSettings& s) { s.slave = 248; },        "1 to 247"                   },
        {"tcp unit 0",
         [](LinkSettings& s) {
             s.tcp = "h:502";
             s.slave = 0;
         },                                                                ""                           },
        {"tcp unit 255",
         [](LinkSettings& s) {
             s.tcp = "h:502";
             s.slave = 255;
         },                                                                ""                           },
        {"tcp unit 256",
         [](LinkSettings& s) {
             s.tcp = "h:502";
             s.slave = 256;
         },                                                                "0 to 255"                   },
        {"tcp bare v6",     [](LinkSettings& s) { s.tcp = "::1"; },        "in brackets, [ADDRESS]:PORT"},
        {"tcp v6 no port",  [](LinkSettings& s) { s.tcp = "[::1]"; },      "[ADDRESS]:PORT expected"    },
        {"tcp v6",          [](LinkSettings& s) { s.tcp = "[::1]:1502"; }, ""                           },
        {"tcp no port",     [](LinkSettings& s) { s.tcp = "host"; },       "HOST:PORT expected"         },
        {"tcp port 0",      [](LinkSettings& s) { s.tcp = "host:0"; },     "from 1 to 65535"            },
        {"tcp port 65536",  [](LinkSettings& s) { s.tcp = "host:65536"; }, "from 1 to 65535"            },
        {"data bits 9",     [](LinkSettings& s) { s.data_bits = 9; },      "data bits"                  },
        {"stop bits 3",     [](LinkSettings& s) { s.stop_bits = 3; },      "stop bits"                  },
        {"timeout 0",       [](LinkSettings& s) { s.timeout_ms = 0; },     "timeout"                    },
        {"retries 11",      [](LinkSettings& s) { s.retries = 11; },       "retries"                    },
        {"retries -1",      [](LinkSettings& s) { s.retries = -1; },       "retries"                    },
        {"pause 60001",     [](LinkSettings& s) { s.pause_ms = 60001; },   "pause"                      },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LinkSettings s;
        s.device = "/dev/ttyS0";
        row.change(s);
        std::string error;
        EXPECT_EQ(qdxhost::check_link_settings(s, error), row.error[0] == '\0') << error;
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
    }
}

TEST(LinkSettings, ParitySpellings) {
    const struct {
        const char* text;
        char parity;
    } rows[] = {
        {"N",     'N'},
        {"n",     'N'},
        {"none",  'N'},
        {"NONE",  'N'},
        {"E",     'E'},
        {"even",  'E'},
        {"O",     'O'},
        {"Odd",   'O'},
        {"",      0  },
        {"x",     0  },
        {"nonE1", 0  },
        {"ev",    0  },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(qdxhost::parse_parity(row.text), row.parity);
    }
}

// The default pause is the line's own silence: 3.5 characters of start, data, parity and
// stop bits, and 1.75 ms above 19200 baud.
TEST(LinkSettings, DefaultPauseIsTheLineSilence) {
    // Fields in the order a row of the table reads.
    const struct {  // NOLINT(clang-analyzer-optin.performance.Padding)
        int baud;
        char parity;
        int stop_bits;
        int pause_ms;
        bool tcp;
        long long ns;
    } rows[] = {
        {9600,   'N', 1, -1, false, 3645833 }, // 35 bits / 9600
        {9600,   'E', 1, -1, false, 4010416 }, // 38.5 bits / 9600
        {19200,  'E', 2, -1, false, 2187500 }, // 42 bits / 19200
        {1200,   'N', 2, -1, false, 32083333}, // 38.5 bits / 1200
        {38400,  'N', 1, -1, false, 1750000 },
        {115200, 'N', 1, -1, false, 1750000 },
        {9600,   'N', 1, 5,  false, 5000000 },
        {9600,   'N', 1, 0,  false, 0       },
        {9600,   'N', 1, -1, true,  0       },
        {9600,   'N', 1, 2,  true,  2000000 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.baud) + row.parity + std::to_string(row.stop_bits));
        LinkSettings s;
        s.baud = row.baud;
        s.parity = row.parity;
        s.stop_bits = row.stop_bits;
        s.pause_ms = row.pause_ms;
        if (row.tcp) {
            s.tcp = "h:502";
        }
        EXPECT_EQ(s.pause_ns(), row.ns);
    }
}

}  // namespace
