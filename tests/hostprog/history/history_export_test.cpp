// Stored rounds decoded through kv830.so: the export command.
#include "history_export.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>

#include "history_decoder.h"
#include "history_support.h"
#include "kv830_data.h"
#include "kv830_signals.h"
#include "time_text.h"

namespace {

using historytest::RecordMaker;
using historytest::TempDir;
using kv830host::HistoryStore;

constexpr std::int64_t kT0 = 1765180800000;

// A value signal of the device's table and the register it reads.
const kv830::SignalRow& some_value_signal() {
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        if (kv830::kSignals[i].kind == kv830::SignalKind::Value &&
            std::strstr(kv830::kSignals[i].key, "温度") != nullptr) {
            return kv830::kSignals[i];
        }
    }
    return kv830::kSignals[0];
}

std::uint16_t register_value(const std::vector<unsigned char>& record, int reg) {
    std::uint16_t v = 0;
    std::memcpy(&v, record.data() + kv830::register_offset(reg), sizeof v);
    return v;
}

struct Exported {
    int status;
    std::string out;
    std::string err;
};

Exported run(std::vector<std::string> args) {
    args.insert(args.begin(), "export");
    args.emplace_back("--plugin");
    args.emplace_back(KV830_SO);
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    std::ostringstream out;
    std::ostringstream err;
    const int status = kv830host::run_export(static_cast<int>(argv.size()), argv.data(), out, err);
    return {status, out.str(), err.str()};
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class HistoryExport : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.file("h.db");
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(path_, error)) << error;
        RecordMaker maker;
        std::vector<kv830host::RoundToSave> batch;
        batch.reserve(120);
        for (int i = 0; i < 120; ++i) {
            records_.push_back(maker.next(kT0 + i * 1000LL));
        }
        for (int i = 0; i < 120; ++i) {
            batch.push_back(
                {1, 5156, kT0 + i * 1000LL, records_[static_cast<std::size_t>(i)].data(), 576});
        }
        ASSERT_TRUE(store.append_batch(batch.data(), batch.size(), kT0, error)) << error;
    }
    TempDir dir_;
    std::string path_;
    std::vector<std::vector<unsigned char>> records_;
};

// A temperature in the plant model's 0.1 °C counts: scaled by default, as stored with
// --raw, and in the unit a settings document's override gives.
TEST_F(HistoryExport, CsvRowsCarryTheStoredTimeAndTheDecodedValues) {
    const kv830::SignalRow& signal = some_value_signal();
    const std::string key = signal.key;
    const std::string kelvin = dir_.file("kelvin.json");
    testproc::write_file(kelvin, R"({"signals":{")" + key +
                                     R"(":{"unit_of_measurement":"K","offset":273.15,)"
                                     R"("decimals":2,"min":250,"max":400}}})");
    const auto text = [](const char* format, double value) {
        char t[32];
        std::snprintf(t, sizeof t, format, value);
        return std::string(t);
    };
    struct Row {
        const char* name;
        std::vector<std::string> extra;
        std::string title;
        std::function<std::string(std::uint16_t)> cell;
    } const rows[] = {
        {"scaled",   {},         key + " [°C]", [&](std::uint16_t raw) { return text("%.1f", raw / 10.0); }},
        {"raw",      {"--raw"},  key,            [](std::uint16_t raw) { return std::to_string(raw); }      },
        {"override",
         {"--settings", kelvin},
         key + " [K]",
         [&](std::uint16_t raw) { return text("%.2f", raw / 10.0 + 273.15); }                               },
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<std::string> args = {"--history", path_,
                                         "--from",    "2025-12-08T08:00:10Z",
                                         "--to",      "2025-12-08T08:00:19.999Z"};
        args.insert(args.end(), r.extra.begin(), r.extra.end());
        const Exported e = run(args);
        ASSERT_EQ(e.status, 0) << e.err;
        const auto lines = lines_of(e.out);
        ASSERT_EQ(lines.size(), 11U) << e.out;
        EXPECT_EQ(lines[0].rfind("time,data_id,", 0), 0U);
        EXPECT_EQ(lines[0].find(kv830host::kDocumentTimeKey), std::string::npos);
        // The column of the signal, found by its title in the header.
        std::vector<std::string> header;
        std::istringstream h(lines[0]);
        for (std::string cell; std::getline(h, cell, ',');) {
            header.push_back(cell);
        }
        const auto column = static_cast<std::size_t>(
            std::find(header.begin(), header.end(), r.title) - header.begin());
        ASSERT_LT(column, header.size()) << lines[0].substr(0, 300);
        for (std::size_t i = 1; i < lines.size(); ++i) {
            SCOPED_TRACE(lines[i].substr(0, 40));
            std::vector<std::string> cells;
            std::istringstream row(lines[i]);
            for (std::string cell; std::getline(row, cell, ',');) {
                cells.push_back(cell);
            }
            ASSERT_EQ(cells.size(), header.size());
            std::int64_t t = 0;
            std::string error;
            ASSERT_TRUE(kv830host::parse_time(cells[0], 0, t, error)) << cells[0];
            const std::size_t n = 9 + i;
            EXPECT_EQ(t, kT0 + static_cast<std::int64_t>(n) * 1000);
            EXPECT_EQ(cells[1], "1");
            EXPECT_EQ(cells[column], r.cell(register_value(records_[n], signal.source)));
        }
    }
}

TEST_F(HistoryExport, JsonLinesWithChosenSignals) {
    const kv830::SignalRow& signal = some_value_signal();
    const Exported e = run({"--history", path_, "--format", "jsonl", "--signal", signal.key,
                            "--data-id", "1", "--to", "2025-12-08T08:00:02Z", "--raw"});
    ASSERT_EQ(e.status, 0) << e.err;
    const auto lines = lines_of(e.out);
    ASSERT_EQ(lines.size(), 3U) << e.out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(lines[i].find("\"" + std::string(signal.key) + "\":" +
                                std::to_string(register_value(records_[i], signal.source)) + "}"),
                  std::string::npos)
            << lines[i];
    }
}

TEST_F(HistoryExport, BadRequestsAreRefused) {
    const std::string bad_settings = dir_.file("bad.json");
    testproc::write_file(bad_settings, R"({"signals":{"no such signal":{"scale":0.1}}})");
    struct Row {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* says;
    } const rows[] = {
        {"unknown signal", {"--history", path_, "--signal", "no such"},      2, "unknown signal"},
        {"reversed",
         {"--history", path_, "--from", "2025-12-09", "--to", "2025-12-08"},
         2,                                                                     "after"         },
        {"bad time",       {"--history", path_, "--from", "yesterday"},      2, "not a time"    },
        {"bad format",     {"--history", path_, "--format", "xml"},          2, "csv or jsonl"  },
        {"no history",     {"--from", "now"},                                2, "--history"     },
        {"missing file",   {"--history", dir_.file("none.db")},              1, "No such file"  },
        {"other data id",  {"--history", path_, "--data-id", "9"},           0, "0 rounds"      },
        {"bad settings",   {"--history", path_, "--settings", bad_settings}, 2, "unknown signal"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Exported e = run(row.args);
        EXPECT_EQ(e.status, row.status) << e.err;
        EXPECT_NE(e.err.find(row.says), std::string::npos) << e.err;
    }
}

// The program's own `export` word: rows on standard output and nothing else there (the
// device's diagnostic lines stay out of it).
TEST_F(HistoryExport, ThroughTheProgram) {
    testproc::Process host(
        {KV830_HOST_BIN, "export", "--history", path_, "--to", "2025-12-08T08:00:04Z"},
        dir_.file("export.out"), dir_.file("export.err"));
    EXPECT_EQ(host.wait(std::chrono::seconds(60)), 0) << host.err();
    const std::string out = host.out();
    const auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), 6U) << out;
    EXPECT_EQ(lines[0].rfind("time,data_id,", 0), 0U);
    EXPECT_EQ(out.find("rvSize"), std::string::npos);
}

}  // namespace
