#include "mqtt_inbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <vector>

#include "support.h"

namespace {

using kv830host::MqttInbox;

std::vector<unsigned long long> numbers(
    const std::vector<std::shared_ptr<kv830host::QueuedRound>>& v) {
    std::vector<unsigned long long> out;
    for (const auto& entry : v) {
        out.push_back(entry->round->number);
    }
    return out;
}

// What one pass sends of the queue: live rounds first, two places each, then the completed
// backlog oldest first within the backlog's room, the pace and the window less the place
// kept for the next live round; failed rounds met on the way are only handed back.
TEST(MqttInbox, ChoosesLiveFirstThenTheBacklogWithinWindowAndPace) {
    struct Row {
        const char* queue;  // per round, oldest first: L live, b backlog, F failed backlog
        int room, backlog_room, paced;
        bool backlog_due;
        std::vector<unsigned long long> live, backlog, failed;
        int room_left;
    };
    const Row rows[] = {
        {"bbbL",  18, 14, 14, true,  {4}, {1, 2, 3}, {},  13},
        {"bbbbL", 18, 14, 2,  true,  {5}, {1, 2},    {},  14},
        {"bFbFb", 18, 14, 2,  true,  {},  {1, 3},    {2}, 16},
        {"bbb",   18, 1,  14, true,  {},  {1},       {},  17},
        {"bbL",   18, 14, 14, false, {3}, {},        {},  16},
        {"bbL",   3,  14, 14, true,  {3}, {},        {},  1 },
        {"LL",    3,  14, 14, true,  {1}, {},        {},  1 },
        {"bbbb",  5,  14, 14, true,  {},  {1, 2, 3}, {},  2 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.queue) + " room " + std::to_string(row.room));
        MqttInbox::Bounds bounds;
        bounds.rounds = std::numeric_limits<std::size_t>::max();
        bounds.bytes = std::numeric_limits<std::size_t>::max();
        MqttInbox inbox(bounds);
        const std::string queue = row.queue;
        for (std::size_t i = 0; i < queue.size(); ++i) {
            const std::atomic<bool> connected{queue[i] == 'L'};
            inbox.push(mqtttest::make_report(i + 1, queue[i] != 'F'), connected);
        }
        MqttInbox::Limits limits;
        limits.generation = 1;
        limits.room = row.room;
        limits.keep_free = 2;
        limits.backlog_room = row.backlog_room;
        limits.paced = row.paced;
        limits.backlog_due = row.backlog_due;
        const MqttInbox::Chosen chosen = inbox.choose(limits);
        EXPECT_EQ(numbers(chosen.live), row.live);
        EXPECT_EQ(numbers(chosen.backlog), row.backlog);
        EXPECT_EQ(numbers(chosen.failed), row.failed);
        EXPECT_EQ(chosen.room, row.room_left);
    }
}

}  // namespace
