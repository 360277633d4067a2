# The history's benchmark: bytes written to storage per hour (earlier policy and grouped
# commits), export rate, trend series for an hour and a day. It writes its files in
# HISTORY_BENCH_DIR, which must be on a disk (the kernel counts no bytes for tmpfs).
#
#   make bench-history
HISTORY_BENCH_DIR ?= $(BENCH_BUILD)

.PHONY: bench-history

bench-history: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKV830_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target history_bench
	KV830_BENCH_DIR=$(HISTORY_BENCH_DIR) $(BENCH_BUILD)/bench/history_bench \
	    --benchmark_out=$(BENCH_BUILD)/history_bench.json --benchmark_out_format=json
