// The record is an external format and must not depend on the target; the snapshot's
// address is a pointer of the target and must.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kv830.h"
#include "qdx_host.h"

namespace {

class Publications : public qdxhost::Observer {
  public:
    std::vector<std::vector<unsigned char>> records;
    int on_send_sp(QDXVDevice&, int, const unsigned char* data, unsigned size, bool) override {
        records.emplace_back(data, data + size);
        return 0;
    }
};

}  // namespace

TEST(TargetAbi, SnapshotAddressHasThePointerSizeOfTheTarget) {
    KV830 device;
    unsigned char out[16] = {};
    int size = 0;
    ASSERT_EQ(device.DeviceIoControl(KV830_SNAPSHOT_VALUE, nullptr, 0, out, sizeof out, size), 0);
    EXPECT_EQ(size, static_cast<int>(sizeof(void*)));
#if defined(__arm__)
    EXPECT_EQ(size, 4);
#elif defined(__x86_64__) || defined(__aarch64__)
    EXPECT_EQ(size, 8);
#endif
}

TEST(TargetAbi, RecordKeepsItsSizeAndTheYearAtOffset569) {
    EXPECT_EQ(sizeof(KV830_Data_t), 576U);
    EXPECT_EQ(offsetof(KV830_Data_t, timestamp), 569U);
    EXPECT_EQ(sizeof(TTime), 7U);

    KV830 device;
    Publications host;
    qdxhost::HostAccess::set_observer(device, &host);
    std::vector<unsigned char> cached(576, 0);
    ASSERT_EQ(device.LoadFromCache(cached.data(), static_cast<int>(cached.size())), 1);
    ASSERT_EQ(host.records.size(), 1U);
    const std::vector<unsigned char>& record = host.records.front();
    ASSERT_EQ(record.size(), 576U);
    // Little-endian at an odd offset, whatever the target's alignment rules.
    const unsigned year = record[569] | (static_cast<unsigned>(record[570]) << 8U);
    const auto now = boost::posix_time::second_clock::local_time();
    EXPECT_GE(year + 1U, static_cast<unsigned>(now.date().year()));
    EXPECT_LE(year, static_cast<unsigned>(now.date().year()));
    EXPECT_GE(record[571], 1U);
    EXPECT_LE(record[571], 12U);
}
