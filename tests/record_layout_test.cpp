#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "kv830_data.h"
#include "kv830_signals.h"

TEST(RecordLayoutTest, PollBlocksTileTheRecordWithoutGapOrOverlap) {
    std::size_t next = offsetof(KV830_Data_t, hr_0_2);
    int tag = kv830::kFirstPollTag;
    int last_register = -1;
    for (const kv830::PollStep& step : kv830::kPollChain) {
        SCOPED_TRACE(step.tag);
        EXPECT_EQ(step.tag, tag++);
        EXPECT_EQ(step.offset, next);
        EXPECT_GE(step.count, 1);
        if (step.source == kv830::Source::HoldingRegisters) {
            EXPECT_LE(step.count, SPModbus::kMaxReadRegisters);
            EXPECT_GT(step.first, last_register) << "registers are read in ascending order";
            last_register = step.first + step.count - 1;
        }
        next += kv830::step_bytes(step);
    }
    EXPECT_EQ(next, offsetof(KV830_Data_t, timestamp));
    EXPECT_EQ(next + sizeof(TTime), sizeof(KV830_Data_t));
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
