// Several controllers in one kv830-host process: SIGTERM ends every line promptly with
// the history of every device saved, and --watch tags each snapshot with its data id.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <sstream>

#include "e2e_support.h"

namespace {

using namespace e2e;

TEST(Devices, SigtermEndsEveryLineWithEveryHistorySaved) {
    TempDir dir;
    Simulator shared(dir, {"--tcp", "0"}, {"--frozen"}, "shared");
    // Replies 5 s late against a 30 s timeout: only SIGTERM ends this line's exchange.
    Simulator slow(dir, {"--tcp", "0"}, {"--frozen", "--delay-ms", "5000"}, "slow");
    ASSERT_TRUE(shared.started()) << shared.log();
    ASSERT_TRUE(slow.started()) << slow.log();
    const std::string settings = dir.file("settings.json");
    write_file(settings, R"({"devices": [
        {"data_id": 1, "modbus": {"tcp": ")" +
                             shared.address() + R"(", "slave": 1}},
        {"data_id": 2, "modbus": {"tcp": ")" +
                             shared.address() + R"(", "slave": 2}},
        {"data_id": 3, "modbus": {"tcp": ")" +
                             slow.address() + R"(", "timeout_ms": 30000}}]})");
    const std::string db = dir.file("h.db");
    Process host(
        host_argv({"--settings", settings, "--interval", "0.2", "--history", db, "--watch"}),
        dir.file("host.out"), dir.file("host.err"));
    ASSERT_TRUE(host.wait_for_err("[2] cycle 3:", 20000ms)) << host.err();
    expect_prompt_stop(host);
    const std::string err = host.err();
    EXPECT_NE(err.find("[3] cycle 1: "), std::string::npos) << err;
    EXPECT_NE(err.find("interrupted"), std::string::npos) << err;
    // Committed once, after every line stopped.
    const auto saved = err.find(" rounds saved to ");
    ASSERT_NE(saved, std::string::npos) << err;
    EXPECT_EQ(err.find(" rounds saved to ", saved + 1), std::string::npos) << err;

    // One row per completed round of each device, and one tagged snapshot line each.
    std::map<long long, std::size_t> rows;
    for (const auto& row : history_rows(db)) {
        ++rows[row.data_id];
    }
    std::map<long long, std::size_t> shown;
    std::istringstream out(host.out());
    std::string line;
    while (std::getline(out, line)) {
        Json::Value tagged;
        ASSERT_TRUE(parse_json(line, tagged)) << line;
        const long long id = tagged["data_id"].asInt64();
        // The device that never completed a round has nothing to show yet.
        EXPECT_TRUE(tagged["snapshot"].isObject() || (id == 3 && tagged["snapshot"].isNull()))
            << line;
        ++shown[id];
    }
    for (const long long id : {1LL, 2LL}) {
        SCOPED_TRACE(id);
        EXPECT_GE(rows[id], 3U) << err;
        EXPECT_GE(shown[id], rows[id]) << err;
    }
    EXPECT_EQ(rows.count(3), 0U);
}

}  // namespace
