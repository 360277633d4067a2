#include <gtest/gtest.h>
#include <json/reader.h>

#include "test_support.h"

using kv830test::RecordingHost;
using kv830test::TestDevice;
using qdxhost::HostAccess;

namespace {

Json::Value parse(const std::string& text) {
    Json::Value doc;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, doc)) << text;
    return doc;
}

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        HostAccess::set_observer(device, &host);
        device.Init(std::weak_ptr<QDXController>(), 7, Json::Value());
        host.init_result = 5;
    }
    // Hands the document over through the host's virtual call; returns the result.
    int init(const std::string& text) {
        testing::internal::CaptureStdout();
        const QDXVDevice& base = device;
        (void)base;
        const int rc = static_cast<QDXVDevice&>(device).InitSetting(parse(text));
        log = testing::internal::GetCapturedStdout();
        return rc;
    }
    TestDevice device;
    RecordingHost host;
    std::string log;
};

}  // namespace

TEST_F(SettingsTest, ModeIsReadAsTextThroughAtoi) {
    struct Row {
        const char* b_mode;
        int mode;
    };
    const Row rows[] = {
        {"\"3\"",    3 },
        {"3",        3 },
        {"\"3abc\"", 3 },
        {"\"abc\"",  0 },
        {"true",     0 },
        {"2.9",      2 },
        {"-4",       -4},
        {"\" 12\"",  12},
        {"false",    0 },
        {"\"\"",     0 }
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.b_mode);
        device.b_mode_ = 1;
        EXPECT_EQ(init(std::string("{\"appSetting\":{\"b_mode\":") + row.b_mode + "}}"), 5);
        EXPECT_EQ(device.b_mode_, row.mode);
        std::string expected = "InitSetting 7 b_mode_:" + std::to_string(row.mode) + "\n";
        if (row.mode == 3) {
            expected += "here 1\n";
        }
        EXPECT_EQ(log, expected);
    }
}

TEST_F(SettingsTest, DataIdIsStoredAndHostSettingsAlwaysRun) {
    const char* const docs[] = {"{}",
                                "null",
                                R"({"appSetting":5})",
                                R"({"appSetting":"3"})",
                                R"({"appSetting":[3]})",
                                R"({"appSetting":{}})",
                                R"({"appSetting":{"b_mode":null}})"};
    for (const char* doc : docs) {
        SCOPED_TRACE(doc);
        host.calls.clear();
        device.b_mode_ = 2;
        std::memset(device.bytes(), 0, 4);
        EXPECT_EQ(init(doc), 5);
        EXPECT_EQ(log, "");
        EXPECT_EQ(device.b_mode_, 2);
        EXPECT_EQ(device.bytes()[0], 7);
        EXPECT_EQ(device.bytes()[1], 0);
        EXPECT_EQ(device.bytes()[3], 0);
        EXPECT_EQ(host.calls, std::vector<std::string>{"InitSetting"});
    }
    EXPECT_EQ(HostAccess::settings(device), parse(R"({"appSetting":{"b_mode":null}})"));
}

TEST_F(SettingsTest, ThresholdTableIsReadInModeThree) {
    device.threshold_levels_["t1"] = 2;
    device.threshold_values_["t1"] = 1.5F;
    EXPECT_EQ(init(R"({"appSetting":{"b_mode":3},
                       "thresholdSetting":{
                         "t1":{"SignalName":"冷冻供水温度","NMAlarmID":"A7","ID":12,"SignalNumber":"3"},
                         "t2":{},
                         "t3":"text",
                         "t4":{"SignalName":null,"NMAlarmID":"B","ID":"C"}}})"),
              5);
    EXPECT_EQ(log,
              "InitSetting 7 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here t1\n"
              "mobile:t1:A7;12;3; level:2 value:1.5\n"
              "here t2\n"
              "7 NMAlarmID is missing\n"
              "7 ID is missing\n"
              "7 SignalNumber is missing\n"
              "mobile:t2:;;; level:0 value:0\n"
              "here t3\n"
              "here t4\n"
              "7 SignalNumber is missing\n"
              "mobile:t4:B;C;; level:0 value:0\n");
    EXPECT_EQ(device.threshold_ids_, (std::map<std::string, std::string>{
                                         {"t1", "A7;12;3;"},
                                         {"t2", ";;;"     },
                                         {"t4", "B;C;;"   }
    }));
    EXPECT_EQ(device.signal_names_, (std::map<std::string, std::string>{
                                        {"t1", "冷冻供水温度"}
    }));
    // The printed look-ups leave an entry behind in the host's maps.
    EXPECT_EQ(device.threshold_levels_.count("t2"), 1U);
    EXPECT_EQ(device.threshold_values_.count("t4"), 1U);

    // A later document adds and replaces, never removes.
    EXPECT_EQ(
        init(
            R"({"thresholdSetting":{"t2":{"SignalName":"x","NMAlarmID":"1","ID":"2","SignalNumber":"3"}}})"),
        5);
    EXPECT_EQ(device.threshold_ids_.size(), 3U);
    EXPECT_EQ(device.threshold_ids_["t2"], "1;2;3;");
    EXPECT_EQ(device.signal_names_.size(), 2U);
    EXPECT_EQ(device.b_mode_, 3) << "mode kept from the earlier document";
}

TEST_F(SettingsTest, ThresholdShapesThatHoldNoEntries) {
    struct Row {
        const char* doc;
        const char* log;
    };
    const Row rows[] = {
        {R"({"appSetting":{"b_mode":3}})",                           "InitSetting 7 b_mode_:3\nhere 1\n"},
        {R"({"appSetting":{"b_mode":3},"thresholdSetting":"text"})",
         "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n"                                                    },
        {R"({"appSetting":{"b_mode":3},"thresholdSetting":12})",
         "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n"                                                    },
        {R"({"appSetting":{"b_mode":3},"thresholdSetting":[]})",
         "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n"                                                    },
        {R"({"appSetting":{"b_mode":2},"thresholdSetting":[1,2]})",  "InitSetting 7 b_mode_:2\n"        },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.doc);
        EXPECT_EQ(init(row.doc), 5);
        EXPECT_EQ(log, row.log);
        EXPECT_TRUE(device.threshold_ids_.empty());
    }
}

TEST_F(SettingsTest, JsonLibraryErrorsReachTheCaller) {
    const char* const docs[] = {
        "[1,2]",
        R"({"appSetting":{"b_mode":{"x":1}}})",
        R"({"appSetting":{"b_mode":3},"thresholdSetting":[{"ID":"1"}]})",
        R"({"appSetting":{"b_mode":3},"thresholdSetting":{"k":{"ID":[1]}}})",
    };
    for (const char* doc : docs) {
        SCOPED_TRACE(doc);
        host.calls.clear();
        const Json::Value settings = parse(doc);
        testing::internal::CaptureStdout();
        EXPECT_THROW(device.InitSetting(settings), Json::LogicError);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(host.calls.empty()) << "host settings do not run after a library error";
        EXPECT_EQ(device.bytes()[0], 7) << "steps done so far stay";
    }
}

TEST_F(SettingsTest, ResultOfTheHostIsReturnedUnchanged) {
    for (int result : {0, -1, 1, 12345}) {
        SCOPED_TRACE(result);
        host.init_result = result;
        EXPECT_EQ(init("{}"), result);
    }
}
