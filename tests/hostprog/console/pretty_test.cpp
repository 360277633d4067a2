// The pretty listing of a snapshot: each signal under its plant unit, columns aligned by
// display width.
#include "pretty.h"

#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>

#include <string>

#include "kv830_signals.h"

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

// Every signal of the table under the heading of its own plant unit, as the page groups
// them, in the table's order within the unit.
TEST(PrettyListing, EachSignalUnderItsUnit) {
    Json::Value doc(Json::objectValue);
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        doc[kv830::kSignals[i].key] = static_cast<double>(i);
    }
    doc[kv830::kUpdateTimeKey] = "2026-12-8 8:0:0";
    const std::string listing = pretty_snapshot(Json::FastWriter().write(doc));
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        SCOPED_TRACE(row.key);
        EXPECT_EQ(heading_of(listing, row.key).find(std::string("== ") + unit_heading(row.unit)),
                  0U)
            << heading_of(listing, row.key);
    }
    EXPECT_EQ(heading_of(listing, kv830::kUpdateTimeKey).find("== System settings"), 0U);
    std::size_t headings = 0;
    for (std::size_t at = listing.find("== "); at != std::string::npos;
         at = listing.find("== ", at + 1)) {
        ++headings;
    }
    EXPECT_EQ(headings, kv830::kUnitCount);
    EXPECT_LT(listing.find("DV2手自动"), listing.find("DV10手自动")) << "the table's order";
}

TEST(PrettyListing, ValuesStartInOneColumnWhateverTheScript) {
    const std::string listing = pretty_snapshot(R"({"DV10开到位": 1, "DV1手自动": 2})");
    // "DV10开到位" is 4 + 3*2 = 10 columns wide, "DV1手自动" 9: the values line up after
    // the wider one.
    EXPECT_NE(listing.find("  DV1手自动   2\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("  DV10开到位  1\n"), std::string::npos) << listing;
}

TEST(PrettyListing, TextThatIsNoObjectGetsANote) {
    for (const char* text : {"", "null", "[1,2]", "{broken"}) {
        SCOPED_TRACE(text);
        EXPECT_NE(pretty_snapshot(text).find("no snapshot"), std::string::npos);
    }
}

}  // namespace
}  // namespace kv830host
