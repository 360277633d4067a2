// The command line and the settings file of kv830-host, in-process.
#include "options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.h"
#include "program.h"

namespace kv830host {
namespace {

using testproc::TempDir;
using testproc::write_file;

// The whole program's command line (the core's options and every output's), as main() reads
// it; the core's part is returned.
bool parse(std::vector<std::string> args, Options& o, std::string& error) {
    args.insert(args.begin(), "kv830-host");
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    ProgramOptions program;
    const bool ok =
        parse_program_options(static_cast<int>(argv.size()), argv.data(), program, error);
    o = std::move(program.core);
    return ok;
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args) {
        text += "'" + a + "' ";
    }
    return text;
}

TEST(HostOptions, NumbersAreDecimalWithLeadingZeros) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--device", "/dev/null", "--slave", "010", "--baud", "09600", "--data-id",
                       "010", "--cycles", "010", "--write", "010=07", "--retries", "03"},
                      o, error))
        << error;
    EXPECT_EQ(o.link.slave, 10);
    EXPECT_EQ(o.link.baud, 9600);
    EXPECT_EQ(o.data_id, 10U);
    EXPECT_EQ(o.cycles, 10);
    EXPECT_EQ(o.write.address, 10);
    ASSERT_EQ(o.write.values.size(), 1U);
    EXPECT_EQ(o.write.values[0], 7);
    EXPECT_EQ(o.retries, 3);
}

TEST(HostOptions, RefusesBadValuesNamingTheOption) {
    struct Row {
        std::vector<std::string> args;
        const char* message_part;
    };
    const Row rows[] = {
        {{"--device", "/dev/null", "--slave", "0x10"},                  "--slave"                     },
        {{"--device", "/dev/null", "--slave", "248"},                   "--slave"                     },
        {{"--device", "/dev/null", "--slave", "0"},                     "serial line"                 },
        {{"--tcp", "h:1", "--slave", "256"},                            "--slave"                     },
        {{"--device", "/dev/null", "--baud", "9600.0"},                 "--baud"                      },
        {{"--device", "/dev/null", "--retries", "11"},                  "--retries"                   },
        {{"--device", "/dev/null", "--retries", "-1"},                  "--retries"                   },
        {{"--device", "/dev/null", "--interval", "1h"},                 "--interval"                  },
        {{"--device", "/dev/null", "--timeout", "0"},                   "--timeout"                   },
        {{"--device", "/dev/null", "--write", "1=2,"},                  "--write"                     },
        {{"--device", "/dev/null", "--write", "0x10=1"},                "--write"                     },
        {{"--device", "/dev/null", "--histroy", "h.db"},                R"(did you mean "--history"?)"},
        {{"--device", "/dev/null", "--watch=yes"},                      "takes no value"              },
        {{"--device", "/dev/null", "--write", "1=1", "--write", "2=2"}, "once"                        },
        {{"--tcp", "h:1", "--device", "/dev/null"},                     "exclude each other"          },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(joined(row.args));
        Options o;
        std::string error;
        EXPECT_FALSE(parse(row.args, o, error));
        EXPECT_NE(error.find(row.message_part), std::string::npos) << error;
    }
}

TEST(HostOptions, RefusesEmptyValuesInEveryValuedOption) {
    for (const char* option : {"--output", "--device", "--history", "--plugin", "--settings",
                               "--log", "--tcp", "--baud", "--write", "--interval"}) {
        SCOPED_TRACE(option);
        for (const bool inline_value : {false, true}) {
            Options o;
            std::string error;
            const std::vector<std::string> args =
                inline_value ? std::vector<std::string>{"--tcp", "h:1", std::string(option) + "="}
                             : std::vector<std::string>{"--tcp", "h:1", option, ""};
            EXPECT_FALSE(parse(args, o, error));
            EXPECT_NE(error.find(option), std::string::npos) << error;
            EXPECT_NE(error.find("empty"), std::string::npos) << error;
        }
    }
}

TEST(HostOptions, DefaultsAndTheWriteOnlyRun) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--tcp", "127.0.0.1:1502"}, o, error)) << error;
    EXPECT_EQ(o.link.retries, 2);  // the link's own default, no --retries given
    EXPECT_EQ(o.cycles, -1);

    // A lone write reads no round.
    Options w;
    ASSERT_TRUE(parse({"--tcp", "127.0.0.1:1502", "--write", "19=1"}, w, error)) << error;
    EXPECT_EQ(w.cycles, 0);
    EXPECT_FALSE(w.cycles_given);
}

TEST(HostOptions, TheDefaultSettingsFileIsReadWhenItExists) {
    TempDir dir;
    const std::string file = dir.file("kv830-host.json");
    write_file(file, R"({"modbus": {"tcp": "127.0.0.1:1502", "slave": 7}})");
    const char* const argv[] = {"kv830-host"};
    Options o;
    std::string error;
    ASSERT_TRUE(parse_options(1, argv, o, error, file)) << error;
    EXPECT_EQ(o.settings_file, file);
    EXPECT_EQ(o.link.slave, 7);

    // --settings wins; a default that does not exist is no error.
    const std::string other = dir.file("other.json");
    write_file(other, R"({"modbus": {"tcp": "127.0.0.1:1502", "slave": 9}})");
    const char* const with_settings[] = {"kv830-host", "--settings", other.c_str()};
    Options s;
    ASSERT_TRUE(parse_options(3, with_settings, s, error, file)) << error;
    EXPECT_EQ(s.link.slave, 9);
    Options none;
    EXPECT_FALSE(parse_options(1, argv, none, error, dir.file("missing.json")));
    EXPECT_NE(error.find("no link"), std::string::npos) << error;
    // --no-settings reads none, and cannot be given with --settings.
    const char* const without[] = {"kv830-host", "--no-settings", "--tcp", "127.0.0.1:1502"};
    Options n;
    ASSERT_TRUE(parse_options(4, without, n, error, file)) << error;
    EXPECT_EQ(n.settings_file, "");
    EXPECT_EQ(n.link.slave, 1);
    const char* const both[] = {"kv830-host", "--no-settings", "--settings", other.c_str()};
    EXPECT_FALSE(parse_options(4, both, n, error, file));
    EXPECT_NE(error.find("exclude each other"), std::string::npos) << error;
}

TEST(HostOptions, RowsOfOtherPartsParseAndShowInTheHelp) {
    std::string broker;
    const std::vector<kv830cli::Option> extra = {
        {"broker-url", 0, "URL", "where to publish",
         [&broker](const std::string& v, std::string&) {
             broker = v;
             return true;
         }},
    };
    const char* const argv[] = {"kv830-host", "--tcp", "127.0.0.1:1502", "--broker-url",
                                "mqtt://127.0.0.1:1883"};
    Options o;
    std::string error;
    ASSERT_TRUE(parse_options(5, argv, o, error, "", extra)) << error;
    EXPECT_EQ(broker, "mqtt://127.0.0.1:1883");
    EXPECT_EQ(o.link.tcp, "127.0.0.1:1502");
    EXPECT_NE(usage("kv830-host", extra).find("--broker-url URL"), std::string::npos);
    EXPECT_EQ(usage("kv830-host").find("--broker-url"), std::string::npos);
    const char* const empty[] = {"kv830-host", "--tcp", "127.0.0.1:1502", "--broker-url="};
    EXPECT_FALSE(parse_options(4, empty, o, error, "", extra));
    EXPECT_NE(error.find("--broker-url"), std::string::npos) << error;
}

TEST(HostOptions, HelpDocumentsEveryOptionAndExitStatus) {
    const std::string text = program_usage("kv830-host");
    for (const char* option :
         {"--device",   "--baud",       "--parity", "--data-bits", "--stop-bits", "--slave",
          "--tcp",      "--timeout",    "--pause",  "--plugin",    "--data-id",   "--settings",
          "--interval", "--cycles",     "--watch",  "--pretty",    "--output",    "--log",
          "--history",  "--no-history", "--write",  "--help",      "--retries"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    for (const char* status : {"  3  ", "  4  ", "  5  ", "  6  "}) {
        EXPECT_NE(text.find(status), std::string::npos) << status;
    }
    EXPECT_NE(text.find("not one round completed"), std::string::npos);
}

TEST(SettingsText, RefusesWhatIsNotASettingsDocument) {
    struct Row {
        const char* what;
        std::string text;
        const char* message_part;
    };
    const std::string deep_arrays = std::string(5000, '[') + std::string(5000, ']');
    const std::string deep_member =
        R"({"a":)" + std::string(4999, '[') + std::string(4999, ']') + "}";
    const Row rows[] = {
        {"nested 5,000 deep",  deep_arrays,                       "not valid JSON"           },
        {"objects 5,000 deep", deep_member,                       "not valid JSON"           },
        {"an array",           "[1]",                             "JSON object"              },
        {"a misspelt member",  R"({"modbsu": {}})",               R"(did you mean "modbus"?)"},
        {"an unknown member",  R"({"zzzzzzzzzzzz": 1})",          "unknown member"           },
        {"two documents",      "{} {}",                           "not valid JSON"           },
        {"a duplicate member", R"({"modbus": {}, "modbus": {}})", "not valid JSON"           },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Json::Value doc;
        std::string error;
        EXPECT_FALSE(parse_settings_text(row.text, doc, error));
        EXPECT_NE(error.find(row.message_part), std::string::npos) << error;
    }
    Json::Value doc;
    std::string error;
    const std::string deep_but_fine =
        "{\"appSetting\": " + std::string(30, '[') + std::string(30, ']') + "}";
    EXPECT_TRUE(parse_settings_text(deep_but_fine, doc, error)) << error;
}

TEST(SettingsFile, OnlyRegularFilesUpToOneMebibyte) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    write_file(dir.file("big.json"),
               R"({"appSetting": {"x": ")" +
                   std::string(static_cast<std::size_t>(kMaxSettingsBytes), 'x') + "\"}}");
    struct Row {
        std::string path;
        const char* message_part;
    };
    const Row rows[] = {
        {"/dev/zero",           "not a regular file"},
        {fifo,                  "not a regular file"},
        {dir.path(),            "Is a directory"    },
        {dir.file("big.json"),  "larger than"       },
        {dir.file("none.json"), "No such file"      },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        const auto start = std::chrono::steady_clock::now();
        Json::Value doc;
        std::string error;
        EXPECT_FALSE(read_settings_file(row.path, doc, error));
        EXPECT_NE(error.find(row.message_part), std::string::npos) << error;
        EXPECT_NE(error.find(row.path), std::string::npos) << error;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

TEST(SettingsFile, NamesTheMemberThatMakesTheDeviceThrow) {
    struct Row {
        const char* text;
        const char* member;  // "" when the document's shape is fine
    };
    const Row rows[] = {
        {R"({"appSetting": {"b_mode": [3]}})",                                       "appSetting.b_mode"},
        {R"({"appSetting": {"b_mode": {"x": 3}}})",                                  "appSetting.b_mode"},
        {R"({"thresholdSetting": [1, 2]})",                                          "thresholdSetting" },
        {R"({"thresholdSetting": {"k1": {"SignalName": ["x"]}}})",
         "thresholdSetting.k1.SignalName"                                                               },
        {R"({"thresholdSetting": {"k1": {"ID": "a", "SignalNumber": {}}}})",
         "thresholdSetting.k1.SignalNumber"                                                             },
        {R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {"k": {"ID": 1}}})", ""                 },
        {R"({"appSetting": [1], "thresholdSetting": "text"})",                       ""                 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Json::Value doc;
        std::string error;
        ASSERT_TRUE(parse_settings_text(row.text, doc, error)) << error;
        EXPECT_EQ(misshapen_setting(doc), row.member);
    }
}

}  // namespace
}  // namespace kv830host
