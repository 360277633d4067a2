#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

using kv830test::RecordingHost;
using kv830test::TestDevice;
using qdxhost::Function;
using qdxhost::HostAccess;

namespace {

class CycleTest : public ::testing::Test {
  protected:
    void SetUp() override { HostAccess::set_observer(device, &host); }
    TestDevice device;
    RecordingHost host;
};

std::uint16_t record_word(const TestDevice& d, std::size_t offset) {
    std::uint16_t w = 0;
    std::memcpy(&w, d.bytes() + offset, sizeof w);
    return w;
}

}  // namespace

TEST_F(CycleTest, FullCycleSendsTheSeventeenRequestsInOrder) {
    device.RefreshStatus();
    std::vector<int> results;
    while (HostAccess::has_request(device)) {
        results.push_back(kv830test::answer(device));
    }
    ASSERT_EQ(host.requests.size(), 17U);
    for (int i = 0; i < kv830::kPollSteps; ++i) {
        SCOPED_TRACE(i);
        const kv830::PollStep& step = kv830::kPollChain[i];
        const qdxhost::Request& r = host.requests[static_cast<std::size_t>(i)];
        EXPECT_EQ(r.function, i < 16 ? Function::ReadHoldingRegisters : Function::ReadInputBits);
        EXPECT_EQ(r.address, step.first);
        EXPECT_EQ(r.count, step.count);
    }
    const std::vector<int> expected_results = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0};
    EXPECT_EQ(results, expected_results);
    EXPECT_EQ(device.request_tag_, 27);
}

TEST_F(CycleTest, EveryReplyLandsAtItsRecordOffset) {
    kv830test::run_cycle(device);
    for (const kv830::PollStep& step : kv830::kPollChain) {
        SCOPED_TRACE(step.first);
        for (int i = 0; i < step.count; ++i) {
            if (step.source == kv830::Source::InputBits) {
                EXPECT_EQ(device.bytes()[step.offset + static_cast<std::size_t>(i)],
                          kv830test::input_value(step.first + i));
            } else {
                EXPECT_EQ(record_word(device, step.offset + 2U * static_cast<std::size_t>(i)),
                          kv830test::register_value(step.first + i));
            }
        }
    }
    // Anchors the field engineer reads in a raw record dump.
    EXPECT_EQ(record_word(device, 250), kv830test::register_value(139));
    EXPECT_EQ(record_word(device, 400), kv830test::register_value(214));
    EXPECT_EQ(record_word(device, 402), kv830test::register_value(243));
    EXPECT_EQ(record_word(device, 486), kv830test::register_value(285));
    EXPECT_EQ(device.bytes()[568], kv830test::input_value(80));
}

TEST_F(CycleTest, RegisterValueIsStoredLittleEndian) {
    device.RefreshStatus();
    const std::uint16_t regs[3] = {258, 0, 0};
    HostAccess::reply_registers(device, regs, 3);
    EXPECT_EQ(device.bytes()[4], 0x02);
    EXPECT_EQ(device.bytes()[5], 0x01);
}

TEST_F(CycleTest, RoundCompletesOnceAfterTheLastReply) {
    const std::string out = kv830test::capture_stdout([&] { kv830test::run_cycle(device); });
    EXPECT_EQ(out, "rvSize is 0\n");
    const std::vector<std::string> expected = {"SendSP", "Reset", "DoBatchCheckThreshold",
                                               "SaveDeviceHistory"};
    EXPECT_EQ(host.calls, expected);
    ASSERT_EQ(host.published.size(), 1U);
    ASSERT_EQ(host.saved.size(), 1U);
    EXPECT_EQ(host.published_types[0], 5156);
    EXPECT_EQ(host.published[0].size(), 576U);
    EXPECT_EQ(host.published[0], host.saved[0]);
    EXPECT_EQ(host.published[0], device.record());
    EXPECT_TRUE(device.data_ready_);
    EXPECT_EQ(device.status_, 1);
    EXPECT_FALSE(device.update_time_.is_special());
}

TEST_F(CycleTest, RoundStampsTheRecordWithItsOwnTime) {
    kv830test::run_cycle(device);
    const TTime expected = get_ttime(device.update_time_);
    EXPECT_EQ(std::memcmp(device.bytes() + 569, &expected, sizeof expected), 0);
    EXPECT_GE(expected.year, 2000);
}

TEST_F(CycleTest, ThresholdFlagFollowsTheBatchResultEachRound) {
    host.batch_result = true;
    device.rule_values_.push_back(rule_value{});
    const std::string out = kv830test::capture_stdout([&] { kv830test::run_cycle(device); });
    EXPECT_EQ(out, "rvSize is 1\n");
    EXPECT_EQ(host.batch_sizes, std::vector<std::size_t>{1});
    EXPECT_TRUE(device.threshold_flag_);
    EXPECT_TRUE(device.rule_values_.empty());

    host.batch_result = false;
    kv830test::capture_stdout([&] { kv830test::run_cycle(device); });
    EXPECT_FALSE(device.threshold_flag_);
    EXPECT_TRUE(device.rule_values_.empty());
}

TEST_F(CycleTest, BrokenCyclePublishesNothingAndNextRefreshRestarts) {
    device.RefreshStatus();
    for (int i = 0; i < 8; ++i) {  // replies up to block 8, then the line goes quiet
        kv830test::answer(device);
    }
    EXPECT_EQ(device.request_tag_, 19);
    const std::string out = kv830test::capture_stdout([&] { HostAccess::fail_request(device); });
    EXPECT_EQ(out, "SPModbus get error\n");
    EXPECT_TRUE(host.published.empty());
    EXPECT_TRUE(host.saved.empty());
    EXPECT_FALSE(device.data_ready_);
    const auto before = device.record();

    host.requests.clear();
    device.RefreshStatus();
    EXPECT_EQ(device.request_tag_, 11);
    ASSERT_EQ(host.requests.size(), 1U);
    EXPECT_EQ(host.requests[0].address, 0);
    EXPECT_EQ(host.requests[0].count, 3);
    // Blocks stored before the break stay until new replies overwrite them.
    EXPECT_EQ(device.record(), before);
    EXPECT_EQ(record_word(device, 254), kv830test::register_value(141));
}

TEST_F(CycleTest, ReplyUnderForeignTagChangesNothing) {
    for (int tag : {0, 5, 10, 28, 205, 800, -1}) {
        SCOPED_TRACE(tag);
        device.request_tag_ = tag;
        const auto before = device.record();
        host.requests.clear();
        const std::uint16_t regs[4] = {1, 2, 3, 4};
        EXPECT_EQ(HostAccess::reply_registers(device, regs, 4), 1);
        EXPECT_EQ(device.record(), before);
        EXPECT_EQ(device.request_tag_, tag);
        EXPECT_TRUE(host.requests.empty());
        EXPECT_TRUE(host.calls.empty());
    }
}

TEST_F(CycleTest, SecondReplyUnderLastTagCompletesAnotherRound) {
    kv830test::run_cycle(device);
    std::uint8_t bits[81] = {};
    bits[80] = 1;
    kv830test::capture_stdout([&] { EXPECT_EQ(HostAccess::reply_bits(device, bits, 81), 0); });
    EXPECT_EQ(host.published.size(), 2U);
    EXPECT_EQ(device.bytes()[568], 1);
    EXPECT_EQ(device.bytes()[488], 0);
}

TEST_F(CycleTest, WriteConfirmationJudgesTheEcho) {
    struct Row {
        int tag;
        int expect;
        std::uint16_t w0;
        std::uint16_t w1;
        int result;
    };
    const Row rows[] = {
        {206, 5,     5,     0,   1},
        {206, 5,     6,     0,   3},
        {206, 65535, 65535, 0,   1},
        {206, -1,    65535, 0,   3},
        {210, 4,     16,    4,   1},
        {210, 4,     16,    5,   3},
        {210, 4,     4,     16,  3},
        {210, 123,   16,    123, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.tag) + " expect " + std::to_string(row.expect));
        host.calls.clear();
        device.request_tag_ = row.tag;
        device.write_expect_ = row.expect;
        device.write_result_ = -1;
        const std::uint16_t regs[2] = {row.w0, row.w1};
        EXPECT_EQ(HostAccess::reply_registers(device, regs, 2), 0);
        EXPECT_EQ(device.write_result_, row.result);
        EXPECT_EQ(device.request_tag_, row.tag);
        EXPECT_EQ(host.calls, std::vector<std::string>{"Reset"});
    }
}

TEST_F(CycleTest, NewDeviceHasTheConstructorDefaults) {
    EXPECT_EQ(device.record(), std::vector<unsigned char>(576, 0));
    EXPECT_EQ(device.DeviceType(), "kv830");
    EXPECT_EQ(device.baud_rate_, 9600);
    EXPECT_TRUE(device.modbus_option_);
    EXPECT_EQ(device.write_result_, -1);
    EXPECT_EQ(device.write_expect_, -1);
    EXPECT_EQ(device.b_mode_, 1);
    EXPECT_TRUE(device.json_value_.isNull());
    EXPECT_TRUE(device.json_time_.is_not_a_date_time());
    EXPECT_TRUE(device.update_time_.is_not_a_date_time());
    EXPECT_FALSE(device.data_ready_);
}
