#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "test_support.h"

using kv830test::TestDevice;

namespace {

std::string failure_of(const TestDevice& device) {
    try {
        device.Get_Value(3, "冷冻供水温度");
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "returned a value";
}

boost::posix_time::ptime now() {
    return boost::date_time::second_clock<boost::posix_time::ptime>::local_time();
}

// Asks with the last round `age` seconds old; retries when the clock ticks meanwhile.
std::string failure_at_age(TestDevice& device, long age) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto before = now();
        device.update_time_ = before - boost::posix_time::seconds(age);
        std::string what = failure_of(device);
        if (now() == before) {
            return what;
        }
    }
    return "clock kept ticking";
}

}  // namespace

TEST(ValueQueryTest, NotReadyBeforeAnyRound) {
    TestDevice device;
    EXPECT_EQ(failure_of(device), "数据未就绪");
    device.update_time_ = now();
    EXPECT_EQ(failure_of(device), "数据未就绪") << "the ready flag decides, not the time";
}

TEST(ValueQueryTest, AgeDecidesBetweenTimedOutAndUnsupported) {
    TestDevice device;
    device.data_ready_ = true;
    struct Row {
        long age;
        const char* what;
    };
    const Row rows[] = {
        {0,      "不支持变量"},
        {60,     "不支持变量"},
        {61,     "数据已超时"},
        {3600,   "数据已超时"},
        {-5,     "不支持变量"},
        {-86400, "不支持变量"}
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.age);
        EXPECT_EQ(failure_at_age(device, row.age), row.what);
    }
}

TEST(ValueQueryTest, CacheLoadMakesDataFresh) {
    TestDevice device;
    const std::vector<unsigned char> image(576, 1);
    testing::internal::CaptureStdout();
    device.LoadFromCache(image.data(), 576);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(failure_of(device), "不支持变量");
}

TEST(ThresholdHookTest, ChangesNothingInAnyMode) {
    TestDevice device;
    device.rule_values_.resize(2);
    device.bytes()[100] = 9;
    for (int mode : {0, 1, 2, 3}) {
        SCOPED_TRACE(mode);
        device.b_mode_ = mode;
        for (bool flag : {false, true}) {
            device.threshold_flag_ = flag;
            const auto before = device.record();
            device.RunCheckThreshold();
            EXPECT_EQ(device.rule_values_.size(), 2U);
            EXPECT_EQ(device.threshold_flag_, flag);
            EXPECT_EQ(device.record(), before);
        }
    }
}
