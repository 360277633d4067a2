#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "kv830_data.h"
#include "kv830_signals.h"

// The compile-time check of the chain must refuse a chain that leaves a gap, overlaps,
// reads registers out of order or asks for more than a frame carries.
TEST(RecordLayoutTest, TheTilingCheckRefusesABrokenChain) {
    struct Fault {
        const char* what;
        int step;
        void (*apply)(kv830::PollStep&);
    };
    const Fault faults[] = {
        {"block moved by a byte",         3,  [](kv830::PollStep& s) { s.offset += 1; }},
        {"block one register short",      4,  [](kv830::PollStep& s) { s.count -= 1; } },
        {"registers read twice",          1,  [](kv830::PollStep& s) { s.first = 0; }  },
        {"more registers than a frame",   4,  [](kv830::PollStep& s) { s.count = 126; }},
        {"empty request",                 16, [](kv830::PollStep& s) { s.count = 0; }  },
        {"inputs one short of the stamp", 16, [](kv830::PollStep& s) { s.count = 80; } },
    };
    EXPECT_TRUE(kv830::chain_tiles_record(kv830::kPollChain));
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.what);
        kv830::PollStep chain[kv830::kPollSteps];
        std::copy(std::begin(kv830::kPollChain), std::end(kv830::kPollChain), chain);
        fault.apply(chain[fault.step]);
        EXPECT_FALSE(kv830::chain_tiles_record(chain));
    }
}

TEST(RecordLayoutTest, TagsFollowThePlaceInTheChain) {
    EXPECT_EQ(kv830::poll_tag(0), 11);
    EXPECT_EQ(kv830::poll_tag(kv830::kPollSteps - 1), 27);
    EXPECT_EQ(kv830::kLastPollTag, 27);
    EXPECT_EQ(kv830::kPollChain[kv830::kPollSteps - 1].source, kv830::Source::InputBits);
}

TEST(RecordLayoutTest, RegisterOffsetsFollowTheAddressMap) {
    struct Row {
        int reg;
        std::size_t offset;
    };
    const Row rows[] = {
        {0,   4  },
        {2,   8  },
        {3,   10 },
        {19,  30 },
        {52,  96 },
        {61,  98 },
        {75,  122},
        {138, 248},
        {139, 250},
        {141, 254},
        {142, 256},
        {166, 304},
        {176, 324},
        {214, 400},
        {243, 402},
        {245, 406},
        {246, 408},
        {285, 486},
        {13,  0  },
        {60,  0  },
        {74,  0  },
        {215, 0  },
        {242, 0  },
        {286, 0  },
        {-1,  0  }
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reg);
        EXPECT_EQ(kv830::register_offset(row.reg), row.offset);
    }
    EXPECT_EQ(kv830::input_offset(0), 488U);
    EXPECT_EQ(kv830::input_offset(80), 568U);
}

TEST(SignalTableTest, RowsPointIntoTheRecord) {
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        SCOPED_TRACE(row.key);
        ASSERT_NE(row.key, nullptr);
        const bool has_texts = row.text0 != nullptr && row.text1 != nullptr;
        EXPECT_EQ(has_texts, row.kind == kv830::SignalKind::Enum);
        if (row.kind == kv830::SignalKind::Input) {
            EXPECT_LT(row.source, 75) << "inputs 75 to 80 carry no signal";
            EXPECT_EQ(row.bit, 0);
        } else {
            EXPECT_TRUE(row.source == 0 || kv830::register_offset(row.source) != 0)
                << "register " << row.source << " is not read by the cycle";
            EXPECT_LT(row.bit, 16);
            if (row.kind != kv830::SignalKind::Bit) {
                EXPECT_EQ(row.bit, 0);
            }
        }
    }
}

TEST(SignalTableTest, KeysAreUniqueExceptTheTwoAssignedTwice) {
    std::map<std::string, int> seen;
    std::map<kv830::SignalKind, int> per_kind;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        ++seen[kv830::kSignals[i].key];
        ++per_kind[kv830::kSignals[i].kind];
    }
    std::set<std::string> twice;
    for (const auto& [key, n] : seen) {
        EXPECT_LE(n, 2) << key;
        if (n == 2) {
            twice.insert(key);
        }
    }
    EXPECT_EQ(twice, (std::set<std::string>{"模式切换延时时间", "自循环泵手动启动"}));
    EXPECT_EQ(seen.count(kv830::kUpdateTimeKey), 0U);
    // 221 from holding registers (plus the two earlier sources), 75 inputs, the time.
    EXPECT_EQ(seen.size() + 1, 297U);
    EXPECT_EQ(per_kind[kv830::SignalKind::Input], 75);
    EXPECT_EQ(per_kind[kv830::SignalKind::Enum], 4);
    EXPECT_EQ(per_kind[kv830::SignalKind::Bit] + per_kind[kv830::SignalKind::Value] +
                  per_kind[kv830::SignalKind::Enum],
              221 + 2);
}
