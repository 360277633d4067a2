# The history's benchmark alone (`make bench` runs it too): bytes written to storage per
# record byte (the policy of long ago and grouped commits of blocks), the file a month at
# one round a second takes, trends of an hour, a week and a month of it, export rate; each
# target with PASS or FAIL. Files whose writes are counted go to HISTORY_BENCH_DIR, which
# must be on a disk (the kernel counts no bytes for tmpfs); the month's file to
# HISTORY_MONTH_DIR, where syncing costs nothing.
#
#   make bench-history
EXTRA_DEPS += libzstd-dev
HISTORY_BENCH_DIR ?= $(BENCH_BUILD)
HISTORY_MONTH_DIR ?= $(shell [ -d /dev/shm ] && echo /dev/shm || echo $(BENCH_BUILD))
HISTORY_BENCH_ARGS ?= --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
HISTORY_BENCH = KV830_BENCH_DIR=$(HISTORY_BENCH_DIR) KV830_BENCH_MONTH_DIR=$(HISTORY_MONTH_DIR) \
        $(BENCH_BUILD)/bench/history_bench $(HISTORY_BENCH_ARGS) \
        --benchmark_out=$(BENCH_BUILD)/history_bench.json --benchmark_out_format=json

.PHONY: bench-history

bench-history: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKV830_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target history_bench
	$(HISTORY_BENCH)
