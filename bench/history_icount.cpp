// Runs the page's trend query a given number of times, for an instruction counter to weigh
// (bench/icount.sh): counting the whole process for N runs and for 0 and dividing the
// difference by N leaves the cost of one query, without writing the file it reads.
//
//     history_icount SCENARIO N
//
// trend_hour: one value signal over the last hour of a file of two hours at one round a
// second, in 1000 buckets, as the page asks for it. The file is $KV830_ICOUNT_HISTORY when
// that names one (written beforehand by `history_icount write FILE`, so that an emulator
// counting every instruction need not write it), else written in a scratch folder.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "history_records.h"
#include "history_store.h"
#include "history_trends.h"

namespace {

constexpr std::int64_t kStart = 1765180800000;  // 2025-12-08T08:00:00Z
constexpr std::int64_t kHours = 2;
constexpr std::int64_t kEnd = kStart + kHours * 3600000;

volatile std::size_t sink;

bool write_file(const std::string& path) {
    kv830host::HistoryStore store;
    std::string error;
    if (!store.open(path, error)) {
        std::cerr << "history_icount: " << error << "\n";
        return false;
    }
    historytest::RecordMaker maker;
    std::vector<std::vector<unsigned char>> minute(60);
    std::vector<kv830host::RoundToSave> batch(60);
    for (std::int64_t t = kStart; t < kEnd; t += 60000) {
        for (std::size_t i = 0; i < 60; ++i) {
            const std::int64_t at = t + static_cast<std::int64_t>(i) * 1000;
            minute[i] = maker.next(at);
            batch[i] = {1, 5156, at, minute[i].data(), minute[i].size()};
        }
        if (!store.append_batch(batch.data(), batch.size(), t + 60000, error)) {
            std::cerr << "history_icount: " << error << "\n";
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "write") == 0) {
        ::unlink(argv[2]);
        return write_file(argv[2]) ? 0 : 1;
    }
    char* end = nullptr;
    const long count = argc == 3 ? std::strtol(argv[2], &end, 10) : -1;
    if (argc != 3 || std::strcmp(argv[1], "trend_hour") != 0 || end == argv[2] || *end != '\0' ||
        count < 0) {
        std::cerr << "usage: history_icount trend_hour N, or history_icount write FILE\n";
        return 2;
    }
    const char* given = std::getenv("KV830_ICOUNT_HISTORY");
    char folder[] = "/tmp/kv830-icount-XXXXXX";
    if (given == nullptr && ::mkdtemp(folder) == nullptr) {
        std::cerr << "history_icount: no scratch folder\n";
        return 1;
    }
    const std::string path = given != nullptr ? std::string(given) : std::string(folder) + "/h.db";
    int status = given != nullptr || write_file(path) ? 0 : 1;
    kv830host::HistoryStore store;
    std::string error;
    if (status == 0 && !store.open(path, kv830host::HistoryStore::Access::ReadOnly, error)) {
        std::cerr << "history_icount: " << error << "\n";
        status = 1;
    }
    const kv830host::TrendRequest request{1, "1#冷却塔风机频率反馈", kEnd - 3600000, kEnd - 1,
                                          1000};
    // Once outside the count, so that first-use costs fall in both runs.
    for (long i = 0; status == 0 && i <= count; ++i) {
        const kv830host::TrendAnswer answer = kv830host::read_trend(store, request, {});
        sink = answer.points.size();
        status = answer.ok && answer.points.size() == 1000 ? 0 : 1;
    }
    store.close();
    if (given == nullptr) {
        for (const char* suffix : {"", "-journal"}) {
            ::unlink((path + suffix).c_str());
        }
        ::rmdir(folder);
    }
    return status;
}
