#include "mqtt_messages.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <memory>

namespace {

Json::Value parse_json(const std::string& text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string error;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &error)) << text;
    return v;
}

TEST(WriteCommand, ResultCarriesCommandOutcomeAndReason) {
    kv830host::RemoteWrite write;
    write.command.address = 246;
    write.command.values = {1, 2};
    write.command_id = "op-7";
    kv830host::WriteOutcome outcome;
    outcome.kind = kv830host::WriteOutcome::Kind::NotConfirmed;
    outcome.reason = "echo differs";
    const Json::Value v = parse_json(kv830host::format_write_result(write, outcome));
    EXPECT_EQ(v["register"].asInt(), 246);
    ASSERT_EQ(v["values"].size(), 2U);
    EXPECT_EQ(v["values"][1].asInt(), 2);
    EXPECT_EQ(v["outcome"].asString(), "not confirmed");
    EXPECT_EQ(v["reason"].asString(), "echo differs");
    EXPECT_EQ(v["command_id"].asString(), "op-7");

    kv830host::RemoteWrite unread;
    unread.command.address = -1;
    kv830host::WriteOutcome refusal;
    refusal.kind = kv830host::WriteOutcome::Kind::Refused;
    refusal.reason = "not valid JSON";
    const Json::Value refused = parse_json(kv830host::format_write_result(unread, refusal));
    EXPECT_TRUE(refused["register"].isNull());
    EXPECT_TRUE(refused["values"].isNull());
    EXPECT_EQ(refused["outcome"].asString(), "refused");
}

TEST(CycleJson, CarriesTheCycleWithItsOwnTimes) {
    kv830host::Round r;
    r.data_id = 3;
    r.number = 42;
    r.completed = true;
    r.duration_s = 0.5;
    r.counters[kv830host::RoundCounter::Answered] = 17;
    r.counters[kv830host::RoundCounter::Failed] = 1;
    r.counters[kv830host::RoundCounter::Retries] = 2;
    r.counters[kv830host::RoundCounter::Timeouts] = 1;
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
    EXPECT_FALSE(v.isMember("timeouts")) << "the cycle message carries what it always did";
    EXPECT_EQ(v["time"].asString(), "2026-11-30T00:53:20.123Z");
    EXPECT_EQ(v["last_completed"].asString(), "2026-11-30T00:53:20.123Z");

    r.last_completed_unix_ms = 0;
    EXPECT_TRUE(parse_json(kv830host::format_cycle_json(r))["last_completed"].isNull());

    r.duration_s = 0.001054;  // as the device runner rounds it, to microseconds
    EXPECT_NE(kv830host::format_cycle_json(r).find("\"duration_s\":0.001054,"), std::string::npos)
        << kv830host::format_cycle_json(r);
}

}  // namespace
