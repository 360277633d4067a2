// The pretty listing of a snapshot: each signal under its plant unit, valves in number
// order, columns aligned by display width.
#include "pretty.h"

#include <gtest/gtest.h>

#include <string>

namespace kv830host {
namespace {

// The line of `listing` that holds `key`, and the heading above it.
std::string heading_of(const std::string& listing, const std::string& key) {
    const std::size_t at = listing.find("  " + key + " ");
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t head = listing.rfind("== ", at);
    return head == std::string::npos ? "" : listing.substr(head, listing.find('\n', head) - head);
}

TEST(PrettyListing, EachSignalUnderItsUnit) {
    const std::string snapshot =
        R"({"2#冷却塔运行": 1, "自循环泵运行": 0, "循环泵频率": 45.5, "DV10开到位": 1,)"
        R"( "DV2开到位": 0, "1#冷却塔高温报警": 1, "电表电压": 380, "更新时间": "t"})";
    const std::string listing = pretty_snapshot(snapshot);
    struct Row {
        const char* key;
        const char* heading_part;
    };
    const Row rows[] = {
        {"2#冷却塔运行",       "Cooling tower 2#"     },
        {"自循环泵运行",      "Self-circulating pump"},
        {"循环泵频率",         "Circulating pump"     },
        {"DV10开到位",           "Valves"               },
        {"1#冷却塔高温报警", "System"               },
        {"电表电压",            "Power meter"          },
        {"更新时间",            "System"               },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        EXPECT_NE(heading_of(listing, row.key).find(row.heading_part), std::string::npos)
            << listing;
    }
    // By number, not by text: DV2 before DV10.
    EXPECT_LT(listing.find("DV2开到位"), listing.find("DV10开到位")) << listing;
    EXPECT_NE(listing.find("45.5"), std::string::npos) << listing;
    EXPECT_NE(listing.find("== Valves DV1-DV13 (2)"), std::string::npos) << listing;
}

TEST(PrettyListing, ValuesStartInOneColumnWhateverTheScript) {
    const std::string listing = pretty_snapshot(R"({"DV1开到位": 1, "DV12": 2})");
    // "DV1开到位" is 3 + 2*3 = 9 columns wide, "DV12" 4: the values line up after both.
    EXPECT_NE(listing.find("  DV1开到位  1\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("  DV12       2\n"), std::string::npos) << listing;
}

TEST(PrettyListing, TextThatIsNoObjectGetsANote) {
    for (const char* text : {"", "null", "[1,2]", "{broken"}) {
        SCOPED_TRACE(text);
        EXPECT_NE(pretty_snapshot(text).find("no snapshot"), std::string::npos);
    }
}

}  // namespace
}  // namespace kv830host
