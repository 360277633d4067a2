// A rebuild replaces the values of a document that already holds every member, walking it
// in its own order instead of looking up each key. Whatever path it takes, the document
// must come out as a document built from nothing over the same record would: the same
// members, the same kinds, the same values.
#include <gtest/gtest.h>
#include <json/value.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kv830.h"
#include "kv830_data.h"
#include "kv830_signals.h"
#include "qdx_host.h"

namespace {

class Device : public KV830 {
  public:
    using KV830::data_;
    using KV830::json_value_;
    using QDXVDevice::update_time_;

    void run_cycle(std::uint32_t seed) {
        RefreshStatus();
        std::uint16_t regs[qdxhost::kMaxReadRegisters];
        std::uint8_t bits[qdxhost::kMaxReadBits];
        while (qdxhost::HostAccess::has_request(*this)) {
            const qdxhost::Request& request = qdxhost::HostAccess::pending_request(*this);
            for (int i = 0; i < request.count; ++i) {
                seed = seed * 1664525U + 1013904223U;
                const int reg = request.address + i;
                // Enumerated registers cycle through both texts and the invalid value.
                regs[i] = static_cast<std::uint16_t>(reg >= 166 && reg <= 169 ? (seed >> 16) % 3U
                                                                              : seed >> 16);
                bits[i] = static_cast<std::uint8_t>((seed >> 20) & 1U);
            }
            if (request.function == qdxhost::Function::ReadInputBits) {
                qdxhost::HostAccess::reply_bits(*this, bits, request.count);
            } else {
                qdxhost::HostAccess::reply_registers(*this, regs, request.count);
            }
        }
    }

    std::string text() {
        std::vector<char> buffer(std::size_t{64} * 1024);
        int out_size = 0;
        EXPECT_EQ(DeviceIoControl(KV830_SNAPSHOT_TEXT, nullptr, 0, buffer.data(),
                                  static_cast<int>(buffer.size()), out_size),
                  0);
        return {buffer.data(), static_cast<std::size_t>(out_size)};
    }

    Json::Value* address() {
        Json::Value* document = nullptr;
        int out_size = 0;
        // The request hands back the document's address: the buffer is one pointer.
        DeviceIoControl(KV830_SNAPSHOT_VALUE, nullptr, 0, &document,
                        static_cast<int>(sizeof document),  // NOLINT(bugprone-sizeof-expression)
                        out_size);
        return document;
    }

    // A round completed within the same second still has to count as a new one here.
    void next_round(std::uint32_t seed) {
        const boost::posix_time::ptime before = update_time_;
        run_cycle(seed);
        if (!before.is_special() && update_time_ <= before) {
            update_time_ = before + boost::posix_time::seconds(1);
        }
    }
};

// A document built by a device that never had one, over a copy of `from`'s record.
Json::Value built_from_nothing(const Device& from, std::string* text) {
    Device fresh;
    std::memcpy(static_cast<void*>(&fresh.data_), &from.data_, sizeof from.data_);
    fresh.update_time_ = from.update_time_;
    *text = fresh.text();
    return fresh.json_value_;
}

TEST(SnapshotRebuild, InPlaceRebuildEqualsABuildFromNothing) {
    Device device;
    device.next_round(1);
    device.text();
    for (std::uint32_t seed = 2; seed < 12; ++seed) {
        device.next_round(seed);
        const std::string text = device.text();
        std::string fresh_text;
        const Json::Value fresh = built_from_nothing(device, &fresh_text);
        EXPECT_EQ(text, fresh_text) << "round " << seed;
        // operator== of Json::Value compares kinds as well as values: an integer 1 is not
        // the real 1.
        EXPECT_TRUE(device.json_value_ == fresh) << "round " << seed;
        EXPECT_EQ(device.json_value_.size(), 297U);
    }
}

TEST(SnapshotRebuild, TheLaterOfTwoRowsWinsInPlaceToo) {
    Device device;
    device.next_round(1);
    device.text();
    std::uint16_t reg6 = 6;
    std::uint16_t reg7 = 7;
    std::memcpy(reinterpret_cast<unsigned char*>(&device.data_) + kv830::register_offset(6), &reg6,
                sizeof reg6);
    std::memcpy(reinterpret_cast<unsigned char*>(&device.data_) + kv830::register_offset(7), &reg7,
                sizeof reg7);
    device.update_time_ += boost::posix_time::seconds(1);
    device.text();
    EXPECT_EQ(device.json_value_["模式切换延时时间"], Json::Value(7.0));
}

TEST(SnapshotRebuild, ADocumentChangedThroughItsAddressIsStillRebuiltByKey) {
    Device device;
    device.next_round(1);
    device.text();
    Json::Value* document = device.address();
    ASSERT_EQ(document, &device.json_value_);
    (*document)["host note"] = "kept";
    (*document)["系统启动"] = "replaced by the next rebuild";
    document->removeMember(kv830::kUpdateTimeKey);

    device.next_round(2);
    device.text();
    std::string fresh_text;
    const Json::Value fresh = built_from_nothing(device, &fresh_text);
    EXPECT_EQ(device.json_value_.size(), fresh.size() + 1);
    EXPECT_EQ(device.json_value_["host note"], Json::Value("kept"));
    for (const std::string& key : fresh.getMemberNames()) {
        EXPECT_TRUE(device.json_value_[key] == fresh[key]) << key;
    }
}

TEST(SnapshotRebuild, AMemberOfAnotherKindIsReplacedInPlace) {
    Device device;
    device.next_round(1);
    device.text();
    (*device.address())["系统启动"] = "text";
    (*device.address())["当前模式"] = Json::Value(Json::arrayValue);

    device.next_round(2);
    device.text();
    std::string fresh_text;
    const Json::Value fresh = built_from_nothing(device, &fresh_text);
    EXPECT_TRUE(device.json_value_ == fresh);
    EXPECT_TRUE(device.json_value_["系统启动"].isInt());
    EXPECT_TRUE(device.json_value_["当前模式"].isDouble());
}

}  // namespace
