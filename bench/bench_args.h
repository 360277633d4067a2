// Command line of a benchmark program that judges its own targets: Google Benchmark's
// options, and --no-verdict to print every figure without passing or failing on them.
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace kv830bench {

// Initialises Google Benchmark with argv less --no-verdict; false when an argument is
// unknown to it (already reported).
inline bool init_judged_benchmarks(int argc, char** argv, bool& judge) {
    judge = true;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-verdict") == 0) {
            judge = false;
        } else {
            args.push_back(argv[i]);
        }
    }
    int args_count = static_cast<int>(args.size());
    benchmark::Initialize(&args_count, args.data());
    return !benchmark::ReportUnrecognizedArguments(args_count, args.data());
}

}  // namespace kv830bench
