// Runs one of the device's operations a given number of times, for an instruction counter
// to weigh: counting the whole process for N runs and for 0 runs and dividing the
// difference by N leaves the cost of one run, without the loader, the libraries' start-up
// or the set-up below. Every scenario runs once before the counted ones either way, so
// one-time work (time zone loading, first allocations) falls in both counts and cancels.
//
//     kv830_icount SCENARIO N
//
// Standard output of the device is dropped, as in the benchmark.
#include <json/value.h>
#include <json/writer.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_device.h"

namespace {

using kv830bench::BenchDevice;
using kv830bench::PlainCopies;
using kv830bench::PlantReplies;

volatile std::size_t sink;

}  // namespace

int main(int argc, char** argv) {
    kv830bench::DiscardBuf discard;
    std::streambuf* console = std::cout.rdbuf(&discard);

    const PlantReplies replies;
    PlainCopies plain(replies);
    std::vector<char> buffer(kv830bench::kSnapshotBufferBytes);
    BenchDevice device;
    replies.run_cycle(device);
    kv830bench::request_text(device, buffer);
    const Json::Value document = device.json_value_;

    const std::map<std::string, std::function<void()>> scenarios = {
  // The 17 replies alone, round completion left out.
        {"replies17",
         [&] {
             device.skip_round_done = true;
             device.rewind_cycle();
             replies.answer(device);
             device.skip_round_done = false;
         }                                                                                 },
        {"payloads17",
         [&] {
             device.skip_round_done = true;
             device.payloads_of_cycle();
             device.skip_round_done = false;
         }                                                                                 },
        {"requests17",              [&] { device.requests_of_cycle(); }                    },
        {"copies17",
         [&] {
             PlainCopies::Copy* volatile copies = plain.copies;
             for (int s = 0; s < kv830::kPollSteps; ++s) {
                 std::memcpy(plain.record + copies[s].offset, copies[s].from, copies[s].size);
             }
             sink = plain.record[0];
         }                                                                                 },
        {"rounddone",               [&] { device.RoundDone(); }                            },
 // What the host's poller costs the device per cycle: the request that starts it,
  // 17 replies and the round completion, with the host's neutral callbacks.
        {"cycle",                   [&] { replies.run_cycle(device); }                     },
        {"fastwriter",
         [&] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
             sink = Json::FastWriter().write(document).size();
#pragma GCC diagnostic pop
         }                                                                                 },
        {"snapshot801_after_round",
         [&] {
             device.age_snapshot();
             sink = static_cast<std::size_t>(kv830bench::request_text(device, buffer));
         }                                                                                 },
        {"snapshot801_no_round",
         [&] { sink = static_cast<std::size_t>(kv830bench::request_text(device, buffer)); }},
        {"snapshot803_rebuild",
         [&] {
             device.age_snapshot();
             sink = reinterpret_cast<std::size_t>(kv830bench::request_value(device));
         }                                                                                 },
        {"snapshot803_no_rebuild",
         [&] { sink = reinterpret_cast<std::size_t>(kv830bench::request_value(device)); }  },
    };

    const auto usage = [&] {
        std::cout.rdbuf(console);
        std::cerr << "usage: kv830_icount SCENARIO N\nscenarios:";
        for (const auto& s : scenarios) {
            std::cerr << " " << s.first;
        }
        std::cerr << "\n";
        return 2;
    };
    if (argc != 3) {
        return usage();
    }
    const auto found = scenarios.find(argv[1]);
    char* end = nullptr;
    const long count = std::strtol(argv[2], &end, 10);
    if (found == scenarios.end() || end == argv[2] || *end != '\0' || count < 0) {
        return usage();
    }
    found->second();
    for (long i = 0; i < count; ++i) {
        found->second();
    }
    std::cout.rdbuf(console);
    return 0;
}
