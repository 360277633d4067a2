// The exposition text: escaping, families, the plant's counters and every signal.
#include "metrics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <sstream>

#include "http_test_support.h"
#include "plant_state.h"

namespace {

using kv830host::MetricsText;
using kv830host::PlantState;
using kv830test::completed_report;

// "name{labels}" -> value text, for every sample line.
std::map<std::string, std::string> samples_of(const std::string& text) {
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t space = line.rfind(' ');
        out[line.substr(0, space)] = line.substr(space + 1);
    }
    return out;
}

TEST(Metrics, LabelValuesEscaped) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain",              "plain"             },
        {"冷冻供水温度", "冷冻供水温度"},
        {"a\"b",               "a\\\"b"            },
        {"a\\b",               "a\\\\b"            },
        {"a\nb",               "a\\nb"             },
        {"\\\"\n",             R"(\\\"\n)"         },
        {"",                   ""                  },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        EXPECT_EQ(kv830host::escape_label_value(row.first), row.second);
    }
}

TEST(Metrics, ValuesSpelledAsTheFormatWants) {
    const std::pair<double, const char*> rows[] = {
        {1.0,                                      "1"    },
        {0.5,                                      "0.5"  },
        {65535.0,                                  "65535"},
        {-2.25,                                    "-2.25"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"  },
        {std::numeric_limits<double>::infinity(),  "+Inf" },
        {-std::numeric_limits<double>::infinity(), "-Inf" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.second);
        EXPECT_EQ(kv830host::format_metric_value(row.first), row.second);
    }
    EXPECT_EQ(std::stod(kv830host::format_metric_value(0.1)), 0.1) << "must read back exactly";
}

TEST(Metrics, FamilyWrittenOnce) {
    MetricsText out;
    EXPECT_TRUE(out.family("x_total", "counter", "help with \\ and\nline"));
    out.sample("x_total",
               {
                   {"a", "1"}
    },
               3ULL);
    EXPECT_FALSE(out.family("x_total", "counter", "again"));
    EXPECT_EQ(out.text(),
              "# HELP x_total help with \\\\ and\\nline\n# TYPE x_total counter\n"
              "x_total{a=\"1\"} 3\n");
}

TEST(Metrics, CountersAndHistogramFollowTheReports) {
    PlantState state(1.0);
    const std::string doc = kv830test::compact(kv830test::make_snapshot_doc(1));
    const double durations[] = {0.1, 0.9, 1.2, 40.0};  // and 2.5, failed
    unsigned long long number = 0;
    for (const double duration : durations) {
        kv830host::Round r = completed_report(3, ++number, doc);
        r.duration_s = duration;
        r.reopens_total = 2;
        state.on_round(r);
    }
    kv830host::Round failed = completed_report(3, ++number, "");
    failed.completed = false;
    failed.duration_s = 2.5;
    failed.counters[kv830host::RoundCounter::Answered] = 12;
    failed.counters[kv830host::RoundCounter::Failed] = 5;
    failed.counters[kv830host::RoundCounter::Timeouts] = 3;
    failed.counters[kv830host::RoundCounter::Garbled] = 1;
    failed.counters[kv830host::RoundCounter::Exceptions] = 1;
    failed.reopens_total = 3;
    failed.link_up = false;
    state.on_round(failed);

    MetricsText out;
    kv830host::write_plant_metrics(state, kv830test::now_ms(), out);
    const auto samples = samples_of(out.text());
    const std::pair<const char*, const char*> expected[] = {
        {"kv830_cycles_completed_total{data_id=\"3\"}",                    "4"   },
        {"kv830_cycles_failed_total{data_id=\"3\"}",                       "1"   },
        {R"(kv830_cycle_duration_seconds_bucket{data_id="3",le="0.001"})", "0"   },
        {R"(kv830_cycle_duration_seconds_bucket{data_id="3",le="0.1"})",   "1"   },
        {R"(kv830_cycle_duration_seconds_bucket{data_id="3",le="0.5"})",   "1"   },
        {R"(kv830_cycle_duration_seconds_bucket{data_id="3",le="1"})",     "2"   },
        {R"(kv830_cycle_duration_seconds_bucket{data_id="3",le="2.5"})",   "4"   },
        {R"(kv830_cycle_duration_seconds_bucket{data_id="3",le="10"})",    "4"   },
        {R"(kv830_cycle_duration_seconds_bucket{data_id="3",le="+Inf"})",  "5"   },
        {"kv830_cycle_duration_seconds_count{data_id=\"3\"}",              "5"   },
        {"kv830_cycle_duration_seconds_sum{data_id=\"3\"}",                "44.7"},
        {"kv830_requests_answered_total{data_id=\"3\"}",                   "80"  },
        {R"(kv830_requests_failed_total{data_id="3",reason="timeout"})",   "3"   },
        {R"(kv830_requests_failed_total{data_id="3",reason="garbled"})",   "1"   },
        {R"(kv830_requests_failed_total{data_id="3",reason="exception"})", "1"   },
        {R"(kv830_requests_failed_total{data_id="3",reason="link_down"})", "0"   },
        {"kv830_link_reopens_total{data_id=\"3\"}",                        "3"   },
        {"kv830_link_up{data_id=\"3\"}",                                   "0"   },
        {"kv830_snapshot_stale{data_id=\"3\"}",                            "0"   },
        {"kv830_snapshot_from_history{data_id=\"3\"}",                     "0"   },
    };
    for (const auto& row : expected) {
        SCOPED_TRACE(row.first);
        const auto found = samples.find(row.first);
        ASSERT_NE(found, samples.end()) << out.text().substr(0, 3000);
        if (std::string(row.first).find("_sum") != std::string::npos) {
            EXPECT_NEAR(std::stod(found->second), std::stod(row.second), 1e-9);
        } else {
            EXPECT_EQ(found->second, row.second);
        }
    }
}

TEST(Metrics, EverySignalOfAFreshSnapshot) {
    PlantState state(1.0);
    const Json::Value doc = kv830test::make_snapshot_doc(5);
    state.on_round(completed_report(1, 1, kv830test::compact(doc)));
    MetricsText out;
    kv830host::write_plant_metrics(state, kv830test::now_ms(), out);
    const auto samples = samples_of(out.text());

    std::size_t numeric = 0;
    std::size_t texts = 0;
    for (const std::string& key : doc.getMemberNames()) {
        SCOPED_TRACE(key);
        const Json::Value& value = doc[key];
        if (value.isNumeric()) {
            ++numeric;
            const auto found = samples.find(R"(kv830_signal{data_id="1",signal=")" + key + "\"}");
            ASSERT_NE(found, samples.end());
            EXPECT_EQ(std::stod(found->second), value.asDouble());
        } else if (key != kv830::kUpdateTimeKey) {
            ++texts;
            const std::string name = R"(kv830_signal_state{data_id="1",signal=")" + key +
                                     "\",state=\"" + value.asString() + "\"}";
            const auto found = samples.find(name);
            ASSERT_NE(found, samples.end());
            EXPECT_EQ(found->second, "1");
        }
    }
    std::size_t signal_lines = 0;
    std::size_t info_lines = 0;
    for (const auto& sample : samples) {
        signal_lines += sample.first.rfind("kv830_signal{", 0) == 0 ? 1U : 0U;
        info_lines += sample.first.rfind("kv830_signal_state{", 0) == 0 ? 1U : 0U;
    }
    EXPECT_EQ(signal_lines, numeric);
    EXPECT_EQ(info_lines, texts * 3) << "each enumeration's two texts and invalid, always";
    EXPECT_GT(numeric, 250U);
    EXPECT_GT(texts, 0U);
}

// Known register counts through each device's model: in base units, one family per
// quantity; device 2's temperature overridden to °F with a range it lies outside.
TEST(Metrics, ValuesInBaseUnitsThroughTheDevicesModel) {
    Json::Value doc = kv830test::make_snapshot_doc(5);
    doc["冷冻供水温度"] = 65;
    doc["冷冻水供水主管压力"] = 320;
    doc["1#冷却塔风机频率反馈"] = 382;
    doc["螺杆机电流百分比"] = 85;
    doc["蒸发冷电表总电能"] = 1234;
    doc["加药装置PH显示"] = 712;
    PlantState state(1.0);
    state.on_round(completed_report(1, 1, kv830test::compact(doc)));
    state.on_round(completed_report(2, 1, kv830test::compact(doc)));
    kv830host::SignalModel fahrenheit;
    Json::Value override(Json::objectValue);
    override["冷冻供水温度"]["unit_of_measurement"] = "°F";
    override["冷冻供水温度"]["scale"] = 0.18;
    override["冷冻供水温度"]["offset"] = 32;
    override["冷冻供水温度"]["min"] = 32;
    override["冷冻供水温度"]["max"] = 40;
    std::string error;
    ASSERT_TRUE(fahrenheit.apply_overrides(override, error)) << error;
    MetricsText out;
    kv830host::write_plant_metrics(state, kv830test::now_ms(), out,
                                   {
                                       {2, &fahrenheit}
    });
    const auto samples = samples_of(out.text());

    const std::pair<const char*, double> rows[] = {
        {R"(kv830_temperature_celsius{data_id="1",signal="冷冻供水温度"})",        6.5     },
        {R"(kv830_temperature_celsius{data_id="2",signal="冷冻供水温度"})",        6.5     },
        {R"(kv830_signal_out_of_range{data_id="1",signal="冷冻供水温度"})",        0       },
        {R"(kv830_signal_out_of_range{data_id="2",signal="冷冻供水温度"})",        1       },
        {R"(kv830_signal{data_id="2",signal="冷冻供水温度"})",                     65      },
        {R"(kv830_pressure_pascals{data_id="1",signal="冷冻水供水主管压力"})",  320000  },
        {R"(kv830_frequency_hertz{data_id="1",signal="1#冷却塔风机频率反馈"})", 38.2    },
        {R"(kv830_ratio{data_id="1",signal="螺杆机电流百分比"})",                0.85    },
        {R"(kv830_energy_joules_total{data_id="1",signal="蒸发冷电表总电能"})",  4.4424e9},
        {R"(kv830_ph{data_id="1",signal="加药装置PH显示"})",                       7.12    },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        const auto found = samples.find(row.first);
        ASSERT_NE(found, samples.end());
        EXPECT_NEAR(std::stod(found->second), row.second, std::fabs(row.second) * 1e-9);
    }
    EXPECT_NE(out.text().find("# TYPE kv830_energy_joules_total counter\n"), std::string::npos);
}

TEST(Metrics, StaleSnapshotLeftOut) {
    PlantState state(1.0);
    const std::string doc = kv830test::compact(kv830test::make_snapshot_doc(5));
    state.on_round(completed_report(1, 1, doc, kv830test::now_ms() - 70000));
    state.on_round(completed_report(2, 1, doc));
    MetricsText out;
    kv830host::write_plant_metrics(state, kv830test::now_ms(), out);
    const auto samples = samples_of(out.text());
    EXPECT_EQ(samples.at("kv830_snapshot_stale{data_id=\"1\"}"), "1");
    EXPECT_EQ(samples.at("kv830_snapshot_stale{data_id=\"2\"}"), "0");
    for (const auto& sample : samples) {
        EXPECT_EQ(sample.first.find("kv830_signal{data_id=\"1\""), std::string::npos)
            << "a stale value shown as current: " << sample.first;
    }
    EXPECT_NE(out.text().find("kv830_signal{data_id=\"2\""), std::string::npos);
}

TEST(PlantStateTest, HistoryRecordServedUntilACycleCompletes) {
    PlantState state(1.0);
    state.serve_from_history(4, "{\"a\":1}", Json::Value(), kv830test::now_ms() - 5000);
    kv830host::DeviceView d;
    ASSERT_TRUE(state.device(4, d));
    EXPECT_TRUE(d.from_history);
    EXPECT_EQ(*d.snapshot, "{\"a\":1}");
    kv830host::Round failed = completed_report(4, 1, "");
    failed.completed = false;
    failed.last_completed_unix_ms = 0;
    state.on_round(failed);
    ASSERT_TRUE(state.device(4, d));
    EXPECT_TRUE(d.from_history) << "a failed cycle does not replace the record";
    state.on_round(completed_report(4, 2, "{\"a\":2}"));
    ASSERT_TRUE(state.device(4, d));
    EXPECT_FALSE(d.from_history);
    EXPECT_EQ(*d.snapshot, "{\"a\":2}");
    state.serve_from_history(4, "{\"a\":0}", Json::Value(), 1);
    ASSERT_TRUE(state.device(4, d));
    EXPECT_EQ(*d.snapshot, "{\"a\":2}") << "a late history record must not replace a cycle's";
}

TEST(PlantStateTest, EventsKeptInOrderAndBounded) {
    PlantState state(1.0);
    const std::size_t total = PlantState::kEventsKept + 10;
    for (std::size_t i = 1; i <= total; ++i) {
        state.on_round(completed_report(1, i, "{}"));
    }
    EXPECT_EQ(state.last_seq(), total);
    const auto events = state.events_after(0);
    ASSERT_EQ(events.size(), PlantState::kEventsKept);
    EXPECT_EQ(events.front().number, total - PlantState::kEventsKept + 1);
    EXPECT_EQ(events.back().number, total);
    EXPECT_EQ(state.events_after(total - 2).size(), 2U);
    EXPECT_TRUE(state.wait_for_event(total - 1, std::chrono::milliseconds(0)));
    EXPECT_FALSE(state.wait_for_event(total, std::chrono::milliseconds(10)));
}

}  // namespace
