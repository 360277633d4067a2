// The history store on a real SQLite file.
#include "history_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"

namespace kv830host {
namespace {

using testproc::TempDir;

TEST(HistoryStore, NewestRowPerDeviceAndRecordType) {
    TempDir dir;
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(dir.file("h.db"), error)) << error;
    HistoryRow row;
    EXPECT_FALSE(store.newest(1, 5156, row, error));
    EXPECT_TRUE(error.empty()) << error;

    struct Append {
        unsigned data_id;
        int record_type;
        unsigned char first_byte;
    };
    const Append appends[] = {
        {1, 5156, 10},
        {2, 5156, 20},
        {1, 5156, 11},
        {1, 7,    12},
        {2, 5156, 21},
    };
    for (const Append& a : appends) {
        const std::vector<unsigned char> record(576, a.first_byte);
        ASSERT_TRUE(store.append(a.data_id, a.record_type, record.data(),
                                 static_cast<unsigned>(record.size()), error))
            << error;
    }
    EXPECT_EQ(store.rows_written(), 5);

    struct Expect {
        unsigned data_id;
        int record_type;
        unsigned char first_byte;
    };
    const Expect expects[] = {
        {1, 5156, 11},
        {2, 5156, 21},
        {1, 7,    12}
    };
    for (const Expect& e : expects) {
        SCOPED_TRACE(std::to_string(e.data_id) + "/" + std::to_string(e.record_type));
        ASSERT_TRUE(store.newest(e.data_id, e.record_type, row, error)) << error;
        ASSERT_EQ(row.record.size(), 576U);
        EXPECT_EQ(row.record.front(), e.first_byte);
        EXPECT_EQ(row.time.size(), 20U) << row.time;  // 2026-01-01T00:00:00Z
    }
    EXPECT_FALSE(store.newest(3, 5156, row, error));

    // Walking back from the newest row of device 1: rows 3 and 1 (ids count from 1).
    ASSERT_TRUE(store.newest(1, 5156, row, error)) << error;
    const long long newest_id = row.id;
    ASSERT_TRUE(store.newest_before(1, 5156, newest_id, row, error)) << error;
    EXPECT_LT(row.id, newest_id);
    EXPECT_EQ(row.record.front(), 10);
    EXPECT_FALSE(store.newest_before(1, 5156, row.id, row, error));
    EXPECT_TRUE(error.empty()) << error;
}

TEST(HistoryStore, RowsOutliveTheStore) {
    TempDir dir;
    std::string error;
    const std::vector<unsigned char> record = {1, 2, 3};
    {
        HistoryStore store;
        ASSERT_TRUE(store.open(dir.file("h.db"), error)) << error;
        ASSERT_TRUE(store.append(4, 5156, record.data(), 3, error)) << error;
    }
    HistoryStore again;
    ASSERT_TRUE(again.open(dir.file("h.db"), error)) << error;
    HistoryRow row;
    ASSERT_TRUE(again.newest(4, 5156, row, error)) << error;
    EXPECT_EQ(row.record, record);
    EXPECT_EQ(again.rows_written(), 0);
}

TEST(HistoryStore, UnusableFileIsRefusedWithItsName) {
    TempDir dir;
    HistoryStore store;
    std::string error;
    const std::string path = dir.file("no/such/folder/h.db");
    EXPECT_FALSE(store.open(path, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_FALSE(store.is_open());
    const unsigned char byte = 0;
    EXPECT_FALSE(store.append(1, 5156, &byte, 1, error));
}

}  // namespace
}  // namespace kv830host
