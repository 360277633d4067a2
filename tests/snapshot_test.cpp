#include <gtest/gtest.h>
#include <json/reader.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>

#include "kv830_signals.h"
#include "test_support.h"

using kv830test::TestDevice;

namespace {

void set_register(TestDevice& d, int reg, std::uint16_t value) {
    const std::size_t offset = kv830::register_offset(reg);
    ASSERT_TRUE(offset != 0 || reg == 0);
    std::memcpy(d.bytes() + (reg == 0 ? 4 : offset), &value, sizeof value);
}

void set_stamp(TestDevice& d, std::uint16_t year, int month, int day, int hour, int minute,
               int second) {
    const TTime t{year,
                  static_cast<std::uint8_t>(month),
                  static_cast<std::uint8_t>(day),
                  static_cast<std::uint8_t>(hour),
                  static_cast<std::uint8_t>(minute),
                  static_cast<std::uint8_t>(second)};
    std::memcpy(d.bytes() + 569, &t, sizeof t);
}

// Marks a new round without running one, so the next request rebuilds.
void new_round(TestDevice& d, int seconds_later = 1) {
    if (d.update_time_.is_special()) {
        d.update_time_ = boost::posix_time::time_from_string("2026-03-05 08:07:09");
    } else {
        d.update_time_ += boost::posix_time::seconds(seconds_later);
    }
}

std::string snapshot_text(TestDevice& d) {
    std::string text(1 << 16, '\0');
    int size = 0;
    testing::internal::CaptureStdout();
    const int rc =
        d.DeviceIoControl(801, nullptr, 0, text.data(), static_cast<int>(text.size()), size);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    text.resize(static_cast<std::size_t>(size));
    return text;
}

Json::Value parse(const std::string& text) {
    Json::Value doc;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, doc));
    return doc;
}

// FastWriter escapes every non-ASCII character; this is how a key shows in the text.
std::string escaped(const std::string& utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        unsigned cp = c;
        std::size_t n = 1;
        if (c >= 0xE0) {
            cp = ((c & 0x0FU) << 12) | ((static_cast<unsigned char>(utf8[i + 1]) & 0x3FU) << 6) |
                 (static_cast<unsigned char>(utf8[i + 2]) & 0x3FU);
            n = 3;
        } else if (c >= 0xC0) {
            cp = ((c & 0x1FU) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3FU);
            n = 2;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else {
            char buf[8];
            if (std::snprintf(buf, sizeof buf, "\\u%04x", cp) < 0) {
                buf[0] = '\0';
            }
            out += buf;
        }
        i += n;
    }
    return out;
}

class SnapshotTest : public ::testing::Test {
  protected:
    TestDevice device;
};

}  // namespace

TEST_F(SnapshotTest, GoldenRecordGivesTheExpectedMembers) {
    set_register(device, 0, 0x0101);  // bit 8 and bit 0
    set_register(device, 6, 111);     // earlier source of the mode-change delay
    set_register(device, 7, 222);
    set_register(device, 94, 65535);  // never negative
    set_register(device, 93, 0);
    set_register(device, 139, 1U << 3);  // earlier source of the self-circulating start
    set_register(device, 166, 0);
    set_register(device, 167, 1);
    set_register(device, 168, 2);
    set_register(device, 169, 65535);
    set_register(device, 245, 1U << 8);
    set_register(device, 265, 4321);
    device.bytes()[488 + 3] = 1;
    for (int bit = 75; bit <= 80; ++bit) {
        device.bytes()[488 + bit] = 1;
    }
    set_stamp(device, 2026, 3, 5, 8, 7, 9);
    new_round(device);

    const std::string text = snapshot_text(device);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";
    const Json::Value doc = parse(text);
    ASSERT_TRUE(doc.isObject());
    EXPECT_EQ(doc.size(), 297U);

    struct Row {
        const char* key;
        Json::Value expected;
    };
    const Row rows[] = {
        {"系统启动",                         Json::Value(1)               },
        {"补水泵频率手自动",             Json::Value(1)               },
        {"模式手自动",                      Json::Value(0)               },
        {"排水阀复位",                      Json::Value(0)               },
        {"模式切换延时时间",             Json::Value(222.0)           },
        {"室外湿度",                         Json::Value(65535.0)         },
        {"室外温度",                         Json::Value(0.0)             },
        {"自循环泵手动启动",             Json::Value(0)               },
        {"补水泵手自动",                   Json::Value(0)               },
        {"旁流水自动反馈",                Json::Value("手动")        },
        {"旁流水排污电机运行",          Json::Value("运行")        },
        {"旁流水排污电机故障",          Json::Value("无效值")     },
        {"旁流水排污阀反馈",             Json::Value("无效值")     },
        {"室外温度低限报警",             Json::Value(1)               },
        {"补水箱液位高限报警设定值", Json::Value(4321.0)          },
        {"1#冷却塔运行",                    Json::Value(1.0)             },
        {"1#冷却塔工频指示",              Json::Value(0.0)             },
        {"DV13关到位",                        Json::Value(0.0)             },
        {"更新时间",                         Json::Value("2026-3-5 8:7:9")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        ASSERT_TRUE(doc.isMember(row.key));
        EXPECT_EQ(doc[row.key].type(), row.expected.type());
        EXPECT_EQ(doc[row.key], row.expected);
    }
    // Integers for bit signals, reals for values and inputs, as the text shows them.
    EXPECT_NE(text.find("\"" + escaped("系统启动") + "\":1,"), std::string::npos);
    EXPECT_NE(text.find("\"" + escaped("室外湿度") + "\":65535.0"), std::string::npos);
    EXPECT_NE(text.find("\"" + escaped("1#冷却塔运行") + "\":1.0"), std::string::npos);
}

TEST_F(SnapshotTest, EveryMemberHasTheKindOfItsRow) {
    kv830test::capture_stdout([&] { kv830test::run_cycle(device); });
    const Json::Value doc = parse(snapshot_text(device));
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        SCOPED_TRACE(row.key);
        const Json::Value& v = doc[row.key];
        switch (row.kind) {
            case kv830::SignalKind::Bit:
                EXPECT_TRUE(v.type() == Json::intValue || v.type() == Json::uintValue);
                EXPECT_TRUE(v.asInt() == 0 || v.asInt() == 1);
                break;
            case kv830::SignalKind::Value:
                EXPECT_EQ(v.type(), Json::realValue);
                break;
            case kv830::SignalKind::Enum:
                EXPECT_TRUE(v.isString());
                break;
            case kv830::SignalKind::Input:
                EXPECT_EQ(v.type(), Json::realValue);
                EXPECT_EQ(v.asDouble(), kv830test::input_value(row.source));
                break;
        }
    }
    // Register values the simulated controller sent, end to end.
    EXPECT_EQ(doc["冷冻供水温度"].asDouble(), kv830test::register_value(82));
    EXPECT_EQ(doc["蒸发冷电表总电能"].asDouble(), kv830test::register_value(194));
}

TEST_F(SnapshotTest, RegisterZeroBitPatterns) {
    const char* const keys[] = {"系统启动",
                                "模式手自动",
                                "循环泵频率手自动",
                                "1#冷却塔风机频率手自动",
                                "2#冷却塔风机频率手自动",
                                "3#冷却塔风机频率手自动",
                                "4#冷却塔风机频率手自动",
                                "补水泵频率手自动",
                                "排水阀复位"};
    const int bits[] = {8, 9, 11, 12, 13, 14, 15, 0, 1};
    const std::uint16_t values[] = {0x0000, 0x0100, 0x0400, 0xFFFF, 0x0002, 0x8001};
    for (const std::uint16_t value : values) {
        SCOPED_TRACE(value);
        set_register(device, 0, value);
        new_round(device);
        const Json::Value doc = parse(snapshot_text(device));
        for (std::size_t i = 0; i < 9; ++i) {
            SCOPED_TRACE(keys[i]);
            EXPECT_EQ(doc[keys[i]].asInt(), (value >> bits[i]) & 1);
        }
    }
}

TEST_F(SnapshotTest, UpdateTimeHasNoZeroPadding) {
    struct Row {
        std::uint16_t year;
        int month, day, hour, minute, second;
        const char* text;
    };
    const Row rows[] = {
        {2026,  3,   5,   8,   7,   9,   "2026-3-5 8:7:9"           },
        {2026,  12,  31,  23,  59,  59,  "2026-12-31 23:59:59"      },
        {0,     0,   0,   0,   0,   0,   "0-0-0 0:0:0"              },
        {65535, 255, 255, 255, 255, 255, "65535-255-255 255:255:255"}
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        set_stamp(device, row.year, row.month, row.day, row.hour, row.minute, row.second);
        new_round(device);
        EXPECT_EQ(parse(snapshot_text(device))["更新时间"].asString(), row.text);
    }
}

TEST_F(SnapshotTest, TextCopiedOnlyWhenItFitsWhole) {
    new_round(device);
    const std::string full = snapshot_text(device);
    const int length = static_cast<int>(full.size());
    testing::internal::CaptureStdout();

    std::string exact(full.size() + 1, '#');
    int size = -7;
    EXPECT_EQ(device.DeviceIoControl(801, nullptr, 0, exact.data(), length, size), 0);
    EXPECT_EQ(size, length);
    EXPECT_EQ(exact.substr(0, full.size()), full);
    EXPECT_EQ(exact.back(), '#') << "no terminator written";

    std::string short_buffer(full.size(), '#');
    size = -7;
    EXPECT_EQ(device.DeviceIoControl(801, nullptr, 0, short_buffer.data(), length - 1, size), -1);
    EXPECT_EQ(size, length);
    EXPECT_EQ(short_buffer, std::string(full.size(), '#'));

    size = -7;
    EXPECT_EQ(device.DeviceIoControl(801, nullptr, 0, nullptr, 1 << 20, size), -1);
    EXPECT_EQ(size, length);
    size = -7;
    EXPECT_EQ(device.DeviceIoControl(801, nullptr, 0, exact.data(), -1, size), -1);
    EXPECT_EQ(size, length);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "KV830::DeviceIoControl 801\nKV830::DeviceIoControl 801\n"
              "KV830::DeviceIoControl 801\nKV830::DeviceIoControl 801\n");
}

TEST_F(SnapshotTest, BeforeAnyRoundTheDocumentIsNull) {
    EXPECT_EQ(snapshot_text(device), "null\n");
    EXPECT_TRUE(device.json_value_.isNull());
}

TEST_F(SnapshotTest, DocumentChangesOnlyWithANewRound) {
    set_register(device, 82, 100);
    new_round(device);
    const std::string first = snapshot_text(device);
    set_register(device, 82, 200);
    EXPECT_EQ(snapshot_text(device), first) << "record changed but no round completed";
    new_round(device);
    const std::string second = snapshot_text(device);
    EXPECT_NE(second, first);
    EXPECT_EQ(parse(second)["冷冻供水温度"].asDouble(), 200.0);
    // A clock set back counts as a new round as well.
    set_register(device, 82, 300);
    new_round(device, -3600);
    EXPECT_EQ(parse(snapshot_text(device))["冷冻供水温度"].asDouble(), 300.0);
}

TEST_F(SnapshotTest, AddressRequestHandsOutTheDocument) {
    set_register(device, 82, 42);
    new_round(device);
    testing::internal::CaptureStdout();
    unsigned char out[sizeof(void*) + 1];
    std::memset(out, 0xAB, sizeof out);
    int size = 0;
    EXPECT_EQ(device.DeviceIoControl(803, nullptr, 0, out, sizeof(void*) - 1, size), -1);
    EXPECT_EQ(size, static_cast<int>(sizeof(void*)));
    EXPECT_EQ(out[0], 0xAB);
    size = 0;
    EXPECT_EQ(device.DeviceIoControl(803, nullptr, 0, nullptr, 64, size), -1);
    EXPECT_EQ(size, static_cast<int>(sizeof(void*)));
    EXPECT_EQ(device.DeviceIoControl(803, nullptr, 0, out, sizeof(void*), size), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(size, static_cast<int>(sizeof(void*)));
    EXPECT_EQ(out[sizeof(void*)], 0xAB);
    const Json::Value* document = nullptr;
    // The request hands back the document's address: the bytes are one pointer.
    std::memcpy(&document, out, sizeof document);  // NOLINT(bugprone-sizeof-expression)
    EXPECT_EQ(document, &device.json_value_);
    EXPECT_EQ((*document)["冷冻供水温度"].asDouble(), 42.0) << "803 rebuilds as 801 does";
}
