// Refusals: a bad command line or an unusable settings file ends the host at once with
// status 2 and a message that says what is wrong.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

using namespace e2e;

void expect_refused(const TempDir& dir, const std::vector<std::string>& args,
                    const std::string& message) {
    const HostRun run = run_host(dir, args, 10000ms);
    std::string joined;
    for (const auto& a : args) {
        joined += a + " ";
    }
    EXPECT_EQ(run.status, 2) << joined << "\n" << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << joined << "\n" << run.err;
    EXPECT_TRUE(run.out.empty()) << joined;
}

TEST(CommandLine, RefusesBadOptions) {
    TempDir dir;
    expect_refused(dir, {"--tcp", "127.0.0.1:1502", "--frobnicate"}, "unknown option --frobnicate");
    expect_refused(dir, {}, "no link");
    expect_refused(dir, {"--device", "/dev/null", "--tcp", "h:1"}, "exclude each other");
    expect_refused(dir, {"--device", "/dev/null", "--baud", "fast"}, "--baud");
    expect_refused(dir, {"--device", "/dev/null", "-P", "Q"}, "--parity");
    expect_refused(dir, {"--device", "/dev/null", "-a", "0"}, "1 to 247");
    expect_refused(dir, {"--tcp", "127.0.0.1:1502", "-a", "256"}, "--slave");
    expect_refused(dir, {"--device", "/dev/null", "--stop-bits", "3"}, "--stop-bits");
    expect_refused(dir, {"--device", "/dev/null", "-t", "-1"}, "--timeout");
    expect_refused(dir, {"--tcp", "localhost"}, "HOST:PORT");
    expect_refused(dir, {"--tcp", "localhost:99999"}, "port");
    expect_refused(dir, {"--device", "/dev/null", "--cycles", "many"}, "--cycles");
    expect_refused(dir, {"--device", "/dev/null", "--write", "19"}, "--write");
    expect_refused(dir, {"--device", "/dev/null", "--write", "19=70000"}, "--write");
    expect_refused(dir, {"--device", "/dev/null", "--write", "65535=1,2"}, "past register");
    expect_refused(dir, {"--device", "/dev/null", "--history", "x.db", "--no-history"},
                   "exclude each other");
    expect_refused(dir, {"--device"}, "needs a value");
    expect_refused(dir, {"--device", "/dev/null", "stray"}, "unexpected argument");
}

TEST(CommandLine, RefusesUnreadableSettingsFiles) {
    TempDir dir;
    expect_refused(dir, {"--device", "/dev/null", "--settings", dir.file("missing.json")},
                   "cannot read settings file");
    expect_refused(dir, {"--device", "/dev/null", "--settings", dir.path()},
                   "cannot read settings file");
    write_file(dir.file("broken.json"), R"({"modbus": {"baud": 9600,)");
    expect_refused(dir, {"--device", "/dev/null", "--settings", dir.file("broken.json")},
                   "not valid JSON");
    write_file(dir.file("array.json"), "[1, 2]");
    expect_refused(dir, {"--device", "/dev/null", "--settings", dir.file("array.json")},
                   "JSON object");
    write_file(dir.file("type.json"), R"({"modbus": {"baud": "fast"}})");
    expect_refused(dir, {"--device", "/dev/null", "--settings", dir.file("type.json")},
                   "modbus.baud");
    write_file(dir.file("range.json"), R"({"modbus": {"device": "/dev/null", "slave": 300}})");
    expect_refused(dir, {"--settings", dir.file("range.json")}, "slave address");
}

TEST(CommandLine, MissingPluginIsReportedWithStatus1) {
    TempDir dir;
    const HostRun run = run_host(dir,
                                 {"--tcp", "127.0.0.1:1", "--cycles", "0", "--no-history",
                                  "--plugin", dir.file("missing.so")},
                                 10000ms);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load"), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty());
}

TEST(CommandLine, HelpDocumentsEveryOption) {
    TempDir dir;
    const HostRun run = run_host(dir, {"--help"}, 10000ms);
    EXPECT_EQ(run.status, 0);
    for (const char* option :
         {"--device",   "--baud",       "--parity", "--data-bits", "--stop-bits", "--slave",
          "--tcp",      "--timeout",    "--pause",  "--plugin",    "--data-id",   "--settings",
          "--interval", "--cycles",     "--watch",  "--pretty",    "--output",    "--log",
          "--history",  "--no-history", "--write",  "--help",      "Exit status"}) {
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
    }
}

}  // namespace
