// The SQLite history: one row per completed round, and the newest row served by a
// restarted host before it completes a cycle of its own.
#include <gtest/gtest.h>

#include <cstring>

#include "e2e_support.h"
#include "kv830_data.h"

namespace {

using namespace e2e;

TEST(History, OneRowPerCompletedRoundNoneForBrokenOnes) {
    TempDir dir;
    Simulator sim(dir, {"--tcp", "0"}, {"--frozen", "--drop-every", "18"});
    ASSERT_TRUE(sim.started()) << sim.log();
    const std::string db = dir.file("history.db");
    // Without retries, so that some rounds break.
    const std::string settings = dir.file("no-retries.json");
    write_file(settings, R"({"modbus": {"retries": 0}})");
    const HostRun run =
        run_host(dir, {"--tcp", sim.address(), "--cycles", "5", "--interval", "0", "--timeout",
                       "300ms", "--data-id", "42", "--history", db, "--settings", settings});
    ASSERT_EQ(run.status, 0) << run.err;
    unsigned completed = 0;
    unsigned broken = 0;
    for (const auto& c : cycle_lines(run.err)) {
        (c.failed == 0 && c.answered == 17 ? completed : broken) += 1;
    }
    EXPECT_GT(completed, 0U);
    EXPECT_GT(broken, 0U);
    ASSERT_EQ(sim.stop(), 0);
    std::vector<int> holding;
    std::vector<int> inputs;
    ASSERT_TRUE(sim.read_dump(holding, inputs));

    const auto rows = history_rows(db);
    ASSERT_EQ(rows.size(), completed) << run.err;
    for (const auto& row : rows) {
        EXPECT_EQ(row.data_id, 42);
        EXPECT_EQ(row.record_type, 5156);
        ASSERT_EQ(row.record.size(), sizeof(KV830_Data_t));
        std::uint32_t id = 0;
        std::memcpy(&id, row.record.data(), sizeof id);
        EXPECT_EQ(id, 42U);
        for (const kv830::PollStep& step : kv830::kPollChain) {
            for (int i = 0; i < step.count; ++i) {
                if (step.source == kv830::Source::InputBits) {
                    EXPECT_EQ(row.record[step.offset + static_cast<std::size_t>(i)],
                              inputs[static_cast<std::size_t>(step.first + i)]);
                } else {
                    std::uint16_t v = 0;
                    std::memcpy(&v,
                                row.record.data() + step.offset +
                                    std::size_t{2} * static_cast<std::size_t>(i),
                                sizeof v);
                    EXPECT_EQ(v, holding[static_cast<std::size_t>(step.first + i)])
                        << "register " << step.first + i;
                }
            }
        }
    }
}

TEST(History, RestartedHostServesPreviousSnapshotBeforeItsFirstCycle) {
    TempDir dir;
    const std::string db = dir.file("history.db");
    std::string first;
    {
        Simulator sim(dir, {"--tcp", "0"}, {"--frozen", "--seed", "3"});
        ASSERT_TRUE(sim.started()) << sim.log();
        // The link comes from the settings document this time.
        write_file(dir.file("settings.json"),
                   R"({"modbus": {"tcp": ")" + sim.address() +
                       R"(", "timeout_ms": 500}, "appSetting": {"b_mode": "1"}})");
        const HostRun run = run_host(dir, {"--settings", dir.file("settings.json"), "--cycles", "2",
                                           "--interval", "0", "--history", db});
        ASSERT_EQ(run.status, 0) << run.err;
        first = run.out;
        ASSERT_EQ(sim.stop(), 0);
    }
    const std::size_t rows_before = history_rows(db).size();
    ASSERT_EQ(rows_before, 2U);

    // No controller now: the snapshot can only come from the history.
    const HostRun again = run_host(
        dir, {"--tcp", "127.0.0.1:1", "--cycles", "0", "--history", db, "--timeout", "200ms"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("serving the record"), std::string::npos) << again.err;
    Json::Value before;
    Json::Value after;
    ASSERT_TRUE(parse_json(first, before));
    ASSERT_TRUE(parse_json(again.out, after)) << again.out;
    ASSERT_TRUE(after.isObject());
    EXPECT_EQ(after.size(), before.size());
    for (const std::string& key : before.getMemberNames()) {
        if (key == "更新时间") {
            continue;  // a served record is stamped anew, as the device does on a cache load
        }
        EXPECT_EQ(after[key], before[key]) << key;
    }
    // Serving it is not a new round: nothing was added to the history.
    EXPECT_EQ(history_rows(db).size(), rows_before);

    // With the controller down the host keeps serving the stored snapshot.
    const HostRun down = run_host(dir, {"--tcp", "127.0.0.1:1", "--cycles", "2", "--interval", "0",
                                        "--history", db, "--timeout", "200ms"});
    // It served the stored record, yet no cycle completed a round: status 5.
    ASSERT_EQ(down.status, 5) << down.err;
    Json::Value still;
    ASSERT_TRUE(parse_json(down.out, still));
    EXPECT_EQ(still["1#冷却塔运行"], before["1#冷却塔运行"]);
    EXPECT_EQ(history_rows(db).size(), rows_before);
}

}  // namespace
