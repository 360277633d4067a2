// The program's one time parser and its formatters, in a zone with summer time given by a
// rule (no zone files needed). The rows marked "was" are forms the parsers of export and
// of /api/history disagreed on before they were one.
#include "time_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

constexpr std::int64_t kT0 = 1765180800000;  // 2025-12-08T08:00:00Z
constexpr std::int64_t kNow = kT0 + 5;
constexpr std::int64_t kSummer = 1751364000000;  // 2025-07-01T10:00:00Z
constexpr std::int64_t kHour = 3600000;

class TimeText : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        saved_ = tz != nullptr ? tz : "";
        had_ = tz != nullptr;
        ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        ::tzset();
    }
    void TearDown() override {
        if (had_) {
            ::setenv("TZ", saved_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

  private:
    std::string saved_;
    bool had_ = false;
};

TEST_F(TimeText, EveryFormTakenOnceAndRefusalsSayWhy) {
    struct Row {
        const char* text;
        bool ok;
        std::int64_t ms;
    } const rows[] = {
        {"2025-12-08T08:00:00Z",            true,  kT0               },
        {"2025-12-08t08:00:00z",            true,  kT0               }, // was: HTTP only
        {"2025-12-08T09:00:00+01:00",       true,  kT0               },
        {"2025-12-08T02:30-0530",           true,  kT0               },
        {"2025-12-08T09:00+01",             true,  kT0               }, // was: neither
        {"2025-12-08 08:00:00.250Z",        true,  kT0 + 250         },
        {"2025-12-08T08:00:00,25Z",         true,  kT0 + 250         }, // was: export only
        {"2025-12-08T08:00:00.123456789Z",  true,  kT0 + 123         },
        {"2025-12-08T09:00",                true,  kT0               }, // was: export only
        {"2025-12-08",                      true,  kT0 - 9 * kHour   }, // was: export only
        {"2025-07-01T12:00",                true,  kSummer           },
        {"1765180800",                      true,  kT0               }, // was: HTTP only
        {"1765180800.5",                    true,  kT0 + 500         }, // was: HTTP only
        {"@1765180800",                     true,  kT0               }, // was: export only
        {"@1765180800.250",                 true,  kT0 + 250         }, // was: neither
        {"now",                             true,  kNow              }, // was: export only
        {"-1h",                             true,  kNow - kHour      }, // was: export only
        {"-30m",                            true,  kNow - kHour / 2  },
        {"-7d",                             true,  kNow - 168 * kHour},
        {"1765180800123",                   false, 0                 }, // milliseconds
        {"2025-02-30T00:00Z",               false, 0                 },
        {"2025-12-08T25:00Z",               false, 0                 },
        {"2025-12-08T08",                   false, 0                 },
        {"2025-12-08T08:00:00Zjunk",        false, 0                 },
        {"2025-12-08T08:00:00.1234567890Z", false, 0                 },
        {"yesterday",                       false, 0                 },
        {"",                                false, 0                 },
        {"1.",                              false, 0                 },
        {"-0s",                             false, 0                 },
        {"@",                               false, 0                 },
        {"1e9",                             false, 0                 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::int64_t ms = 0;
        std::string error;
        EXPECT_EQ(kv830host::parse_time(row.text, kNow, ms, error), row.ok) << error;
        if (row.ok) {
            EXPECT_EQ(ms, row.ms);
        } else {
            EXPECT_NE(error.find("is not a time"), std::string::npos) << error;
        }
    }
}

TEST_F(TimeText, FormatsReadBackAndNegativeTimesAreRight) {
    struct Row {
        std::int64_t ms;
        const char* utc;
        const char* local;
    } const rows[] = {
        {kT0 + 7,   "2025-12-08T08:00:00.007Z", "2025-12-08T09:00:00.007+01:00"},
        {kSummer,   "2025-07-01T10:00:00.000Z", "2025-07-01T12:00:00.000+02:00"},
        {0,         "1970-01-01T00:00:00.000Z", "1970-01-01T01:00:00.000+01:00"},
        {-1,        "1969-12-31T23:59:59.999Z", "1970-01-01T00:59:59.999+01:00"},
        {-86400001, "1969-12-30T23:59:59.999Z", "1969-12-31T00:59:59.999+01:00"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.utc);
        EXPECT_EQ(kv830host::format_time_utc(row.ms), row.utc);
        EXPECT_EQ(kv830host::format_time_local(row.ms), row.local);
        for (const std::string& text :
             {kv830host::format_time_utc(row.ms), kv830host::format_time_local(row.ms)}) {
            std::int64_t back = 1;
            std::string error;
            ASSERT_TRUE(kv830host::parse_time(text, 0, back, error)) << error;
            EXPECT_EQ(back, row.ms);
        }
    }
}

TEST_F(TimeText, Durations) {
    struct Row {
        const char* text;
        bool ok;
        std::int64_t ms;
    } const rows[] = {
        {"30d",          true,  kHour * 30 * 24},
        {"12h",          true,  kHour * 12     },
        {"90m",          true,  kHour * 3 / 2  },
        {"45s",          true,  45000          },
        {"45",           true,  45000          },
        {"0s",           false, 0              },
        {"",             false, 0              },
        {"1w",           false, 0              },
        {"5 m",          false, 0              },
        {"99999999999d", false, 0              },
        {"1.5h",         false, 0              },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::int64_t ms = 0;
        std::string error;
        EXPECT_EQ(kv830host::parse_duration(row.text, ms, error), row.ok) << error;
        EXPECT_EQ(ms, row.ms);
        EXPECT_EQ(error.empty(), row.ok);
    }
}

}  // namespace
