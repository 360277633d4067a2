#include "option_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kv830cli::Option;

struct Parsed {
    std::string output;
    long long baud = -1;
    bool verbose = false;
    std::vector<std::string> positional;
};

std::vector<Option> table_for(Parsed& p) {
    return {
        {"output",  'o', "FILE",  "where to write",
         [&p](const std::string& v, std::string&) {
             p.output = v;
             return true;
         }},
        {"baud",    'b', "RATE",  "line rate",
         [&p](const std::string& v, std::string& error) {
             if (!kv830cli::parse_decimal(v, 1, 4000000, p.baud)) {
                 error = "expected a rate in bits per second, got '" + v + "'";
                 return false;
             }
             return true;
         }},
        {"verbose", 'v', nullptr, "say more",
         [&p](const std::string&,   std::string&) {
             p.verbose = true;
             return true;
         }  },
    };
}

bool parse(const std::vector<const char*>& words, Parsed& p, std::string& error) {
    std::vector<const char*> argv{"prog"};
    argv.insert(argv.end(), words.begin(), words.end());
    const auto table = table_for(p);
    return kv830cli::parse_command_line(table, static_cast<int>(argv.size()), argv.data(),
                                        p.positional, error);
}

TEST(OptionTable, AcceptsEverySpelling) {
    struct Row {
        std::vector<const char*> words;
        std::string output;
        long long baud;
        bool verbose;
        std::vector<std::string> positional;
    };
    const Row rows[] = {
        {{"--output", "a.json"},       "a.json", -1, false, {}             },
        {{"--output=a.json"},          "a.json", -1, false, {}             },
        {{"-o", "a.json", "-v"},       "a.json", -1, true,  {}             },
        {{"--baud", "010"},            "",       10, false, {}             },
        {{"export", "--verbose", "x"}, "",       -1, true,  {"export", "x"}},
        {{"--", "--baud"},             "",       -1, false, {"--baud"}     },
        {{"-"},                        "",       -1, false, {"-"}          },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.words.empty() ? "" : row.words[0]);
        Parsed p;
        std::string error;
        ASSERT_TRUE(parse(row.words, p, error)) << error;
        EXPECT_EQ(p.output, row.output);
        EXPECT_EQ(p.baud, row.baud);
        EXPECT_EQ(p.verbose, row.verbose);
        EXPECT_EQ(p.positional, row.positional);
    }
}

TEST(OptionTable, RefusesWithTheOptionNamed) {
    struct Row {
        std::vector<const char*> words;
        std::string message;
    };
    const Row rows[] = {
        {{"--outptu", "x"},            "unknown option --outptu (did you mean \"--output\"?)"  },
        {{"--zzzzzzzz"},               "unknown option --zzzzzzzz"                             },
        {{"-x"},                       "unknown option -x"                                     },
        {{"--output"},                 "--output needs a value (FILE)"                         },
        {{"--output", ""},             "--output: empty value; give FILE"                      },
        {{"--output="},                "--output: empty value; give FILE"                      },
        {{"--verbose=1"},              "--verbose takes no value"                              },
        {{"--baud", "0x10"},           "--baud: expected a rate in bits per second, got '0x10'"},
        {{"--baud", "96OO"},           "--baud: expected a rate in bits per second, got '96OO'"},
        {{"-o", "a", "--output", "b"}, "--output is given twice; give it once"                 },
        {{"-v", "-v"},                 "--verbose is given twice; give it once"                },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.words[0]);
        Parsed p;
        std::string error;
        EXPECT_FALSE(parse(row.words, p, error));
        EXPECT_EQ(error, row.message);
    }
}

TEST(OptionTable, HelpListsEveryOptionInOrder) {
    Parsed p;
    const std::string help = kv830cli::format_help(table_for(p), "Usage: prog [OPTION]...", "end");
    const std::size_t output = help.find("-o, --output FILE");
    const std::size_t baud = help.find("-b, --baud RATE");
    const std::size_t verbose = help.find("-v, --verbose");
    ASSERT_NE(output, std::string::npos) << help;
    ASSERT_NE(baud, std::string::npos) << help;
    ASSERT_NE(verbose, std::string::npos) << help;
    EXPECT_LT(output, baud);
    EXPECT_LT(baud, verbose);
    EXPECT_EQ(help.rfind("Usage: prog", 0), 0U);
    EXPECT_EQ(help.substr(help.size() - 4), "end\n");
}

TEST(ParseDecimal, ReadsOnlyDecimalWithinBounds) {
    struct Row {
        const char* text;
        bool ok;
        long long value;
    };
    const Row rows[] = {
        {"0",                    true,  0  },
        {"010",                  true,  10 },
        {"247",                  true,  247},
        {"248",                  false, 0  },
        {"-1",                   false, 0  },
        {"0x1",                  false, 0  },
        {"1e3",                  false, 0  },
        {" 1",                   false, 0  },
        {"1 ",                   false, 0  },
        {"",                     false, 0  },
        {"+5",                   true,  5  },
        {"-",                    false, 0  },
        {"99999999999999999999", false, 0  },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        long long v = -7;
        EXPECT_EQ(kv830cli::parse_decimal(row.text, 0, 247, v), row.ok);
        EXPECT_EQ(v, row.ok ? row.value : -7);
    }
}

TEST(NearestName, SuggestsOnlyLikelyTypos) {
    const std::vector<std::string> known{"timeout_ms", "pause_ms", "baud", "device"};
    EXPECT_EQ(kv830cli::nearest_name("timeout", known), "timeout_ms");
    EXPECT_EQ(kv830cli::nearest_name("buad", known), "baud");
    EXPECT_EQ(kv830cli::nearest_name("devise", known), "device");
    EXPECT_EQ(kv830cli::nearest_name("colour", known), "");
    // Characters, not bytes: three CJK characters left out are three edits.
    const std::vector<std::string> signals{"冷冻水供水主管温度设定", "室外温度"};
    EXPECT_EQ(kv830cli::nearest_name("冷冻供水温度设定", signals), signals[0]);
    EXPECT_EQ(kv830cli::nearest_name("冷却塔", signals), "");
}

}  // namespace
