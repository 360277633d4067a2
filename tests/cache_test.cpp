#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

using kv830test::RecordingHost;
using kv830test::TestDevice;
using qdxhost::HostAccess;

namespace {

std::vector<unsigned char> pattern(std::size_t n) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<unsigned char>(i * 31 + 7);
    }
    return v;
}

}  // namespace

TEST(CacheTest, WrongSizeOrNullIsRefusedWithNothingChanged) {
    TestDevice device;
    RecordingHost host;
    HostAccess::set_observer(device, &host);
    const auto image = pattern(600);
    struct Row {
        const unsigned char* data;
        int size;
    };
    const Row rows[] = {
        {image.data(), 575 },
        {image.data(), 577 },
        {image.data(), 0   },
        {image.data(), -576},
        {nullptr,      576 },
        {nullptr,      0   }
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        const std::string out = kv830test::capture_stdout(
            [&] { EXPECT_EQ(device.LoadFromCache(row.data, row.size), 0); });
        EXPECT_EQ(out, "");
        EXPECT_EQ(device.record(), std::vector<unsigned char>(576, 0));
        EXPECT_FALSE(device.data_ready_);
        EXPECT_TRUE(host.calls.empty());
    }
}

TEST(CacheTest, ExactSizeIsTakenAndCompletesARound) {
    TestDevice device;
    RecordingHost host;
    HostAccess::set_observer(device, &host);
    const auto image = pattern(576);
    std::string out;
    out = kv830test::capture_stdout([&] { EXPECT_EQ(device.LoadFromCache(image.data(), 576), 1); });
    EXPECT_EQ(out, "rvSize is 0\n");
    EXPECT_TRUE(device.data_ready_);
    const auto record = device.record();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 569, record.begin()));
    const TTime now = get_ttime(device.update_time_);
    EXPECT_EQ(std::memcmp(record.data() + 569, &now, 7), 0);
    ASSERT_EQ(host.published.size(), 1U);
    EXPECT_EQ(host.published[0], record);
    EXPECT_EQ(host.saved[0], record);
}

TEST(CacheTest, StringOverloadPassesItsBytes) {
    TestDevice device;
    const auto image = pattern(576);
    kv830test::capture_stdout([&] {
        EXPECT_EQ(device.LoadFromCache(std::string(image.begin(), image.end())), 1);
        EXPECT_EQ(device.LoadFromCache(std::string(575, 'x')), 0);
    });
    EXPECT_EQ(device.bytes()[100], image[100]);
}

namespace {

class CountingDevice : public TestDevice {
  public:
    int rounds = 0;
    void RoundDone() override { ++rounds; }
};

}  // namespace

TEST(CacheTest, LoadRunsTheMostDerivedRoundDone) {
    CountingDevice device;
    const auto image = pattern(576);
    EXPECT_EQ(device.LoadFromCache(image.data(), 576), 1);
    EXPECT_EQ(device.rounds, 1);
    EXPECT_TRUE(device.data_ready_);
}
