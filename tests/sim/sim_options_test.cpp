// The command line of plant-sim: what it accepts and what it refuses.
#include "sim_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plantsim {
namespace {

ParseOutcome parse(std::vector<std::string> args, SimOptions& o, std::string& error) {
    args.insert(args.begin(), "plant-sim");
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    return parse_options(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(SimOptions, AcceptsTheDocumentedCommandLines) {
    SimOptions o;
    std::string error;
    ASSERT_EQ(parse({"--pty",
                     "--baud",
                     "19200",
                     "--parity",
                     "E",
                     "--data-bits",
                     "7",
                     "--stop-bits",
                     "2",
                     "--slave",
                     "17",
                     "--seconds",
                     "30",
                     "--frozen",
                     "--seed",
                     "4294967295",
                     "--dump",
                     "/tmp/x.json",
                     "--drop-every",
                     "5",
                     "--exception-at",
                     "14,15,250",
                     "--delay-ms",
                     "20",
                     "--corrupt-crc-every",
                     "3",
                     "--verbose"},
                    o, error),
              ParseOutcome::Run)
        << error;
    EXPECT_EQ(o.transport, Transport::Pty);
    EXPECT_EQ(o.baud, 19200);
    EXPECT_EQ(o.parity, 'E');
    EXPECT_EQ(o.data_bits, 7);
    EXPECT_EQ(o.stop_bits, 2);
    EXPECT_EQ(o.slave, 17);
    EXPECT_EQ(o.seconds, 30);
    EXPECT_TRUE(o.frozen);
    EXPECT_EQ(o.seed, 4294967295U);
    EXPECT_EQ(o.dump, "/tmp/x.json");
    EXPECT_EQ(o.drop_every, 5);
    EXPECT_EQ(o.exception_at, (std::set<int>{14, 15, 250}));
    EXPECT_EQ(o.delay_ms, 20);
    EXPECT_EQ(o.corrupt_crc_every, 3);
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(o.bits_per_char(), 1 + 7 + 1 + 2);
}

TEST(SimOptions, DefaultsAreNineSixHundredEightNoneOne) {
    SimOptions o;
    std::string error;
    ASSERT_EQ(parse({"--tcp", "0"}, o, error), ParseOutcome::Run) << error;
    EXPECT_EQ(o.transport, Transport::Tcp);
    EXPECT_EQ(o.tcp_port, 0);
    EXPECT_EQ(o.baud, 9600);
    EXPECT_EQ(o.parity, 'N');
    EXPECT_EQ(o.data_bits, 8);
    EXPECT_EQ(o.stop_bits, 1);
    EXPECT_EQ(o.slave, 1);
    EXPECT_EQ(o.seconds, 600);
    EXPECT_FALSE(o.frozen);
    EXPECT_TRUE(o.dump.empty());
    EXPECT_EQ(o.bits_per_char(), 10);
}

TEST(SimOptions, RefusesBadCommandLines) {
    struct Row {
        std::vector<std::string> args;
        const char* message_part;
    };
    const Row rows[] = {
        {{},                                                 "required"      },
        {{"--pty", "--tcp", "0"},                            "only one"      },
        {{"--pty", "--bogus"},                               "unknown option"},
        {{"--tcp"},                                          "needs a value" },
        {{"--tcp", "65536"},                                 "--tcp"         },
        {{"--tcp", "-1"},                                    "--tcp"         },
        {{"--pty", "--baud", "9601"},                        "baud"          },
        {{"--pty", "--baud", "fast"},                        "--baud"        },
        {{"--pty", "--parity", "X"},                         "--parity"      },
        {{"--pty", "--data-bits", "9"},                      "--data-bits"   },
        {{"--pty", "--stop-bits", "3"},                      "--stop-bits"   },
        {{"--pty", "--slave", "0"},                          "--slave"       },
        {{"--pty", "--slave", "248"},                        "--slave"       },
        {{"--pty", "--seconds", "1.5"},                      "--seconds"     },
        {{"--pty", "--exception-at", "14,,15"},              "--exception-at"},
        {{"--pty", "--exception-at", "x"},                   "--exception-at"},
        {{"--pty", "--delay-ms", "60001"},                   "--delay-ms"    },
        {{"--pty", "--drop-every", "-2"},                    "--drop-every"  },
        {{"--pty", "--frozen=1"},                            "takes no value"},
        {{"--rtu", ""},                                      "empty value"   },
        {{"--tcp", "0", "--dump", "/no/such/folder/x.json"}, "--dump"        },
        {{"--pty", "--parity", "nothing"},                   "--parity"      },
        {{"--pty", "--slave", "0x10"},                       "--slave"       },
        {{"--pty", "stray"},                                 "unexpected"    },
    };
    for (const Row& row : rows) {
        std::string joined;
        for (const std::string& a : row.args) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        SimOptions o;
        std::string error;
        EXPECT_EQ(parse(row.args, o, error), ParseOutcome::Error);
        EXPECT_NE(error.find(row.message_part), std::string::npos) << error;
    }
}

TEST(SimOptions, HelpDocumentsEveryOption) {
    SimOptions o;
    std::string error;
    EXPECT_EQ(parse({"--help"}, o, error), ParseOutcome::Help);
    const std::string text = usage_text();
    for (const char* option :
         {"--pty", "--rtu", "--tcp", "--baud", "--parity", "--data-bits", "--stop-bits", "--slave",
          "--seconds", "--frozen", "--seed", "--dump", "--drop-every", "--exception-at",
          "--delay-ms", "--corrupt-crc-every", "--verbose"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
}

TEST(SimOptions, AcceptsTheParitySpellingsOfTheHostProgram) {
    struct Row {
        const char* text;
        char parity;
    };
    const Row rows[] = {
        {"N",    'N'},
        {"n",    'N'},
        {"none", 'N'},
        {"NONE", 'N'},
        {"E",    'E'},
        {"even", 'E'},
        {"Even", 'E'},
        {"O",    'O'},
        {"odd",  'O'},
        {"ODD",  'O'},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        SimOptions o;
        o.parity = '?';
        std::string error;
        ASSERT_EQ(parse({"--pty", "--parity", row.text}, o, error), ParseOutcome::Run) << error;
        EXPECT_EQ(o.parity, row.parity);
    }
}

TEST(SimOptions, NumbersAreDecimalWithLeadingZeros) {
    SimOptions o;
    std::string error;
    ASSERT_EQ(parse({"--pty", "--slave", "010", "--baud", "09600", "--seed", "0008"}, o, error),
              ParseOutcome::Run)
        << error;
    EXPECT_EQ(o.slave, 10);
    EXPECT_EQ(o.baud, 9600);
    EXPECT_EQ(o.seed, 8U);
}

TEST(SimOptions, TakesValuesAfterAnEqualsSign) {
    SimOptions o;
    std::string error;
    ASSERT_EQ(parse({"--tcp=1502", "--seed=9"}, o, error), ParseOutcome::Run) << error;
    EXPECT_EQ(o.tcp_port, 1502);
    EXPECT_EQ(o.seed, 9U);
}

}  // namespace
}  // namespace plantsim
