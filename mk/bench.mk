# Benchmarks of the device (bench/): each cost timed next to its baseline in the same run,
# the targets judged by the benchmark program, which fails on a missed one. A Release
# build of its own, so that nothing else's build type changes the figures.
#
#   make bench               medians and ratios, PASS or FAIL per target, then the
#                            instruction targets counted by callgrind (bench-icount),
#                            then the link's cycle over a paced pseudo-terminal against
#                            the line's minimum, then the Modbus server's replies and
#                            its cost to that cycle and line, then the history
#                            (mk/history.mk); fails when any target fails
#   make bench-icount        instructions per operation, counted by callgrind, judged
#   make bench-icount-armhf  the same for the armhf build, counted under qemu-arm, and the
#                            share of a 0.96 s cycle on a 500 MHz core at 0.5 IPC; then
#                            the instructions of a one-hour trend query
#
# valgrind also runs the 64-device leak test of `make test` (tests/perf).
EXTRA_DEPS += libbenchmark-dev valgrind

BENCH_BUILD ?= build-bench
BENCH_ARMHF_BUILD ?= build-bench-armhf
BENCH_REPETITIONS ?= 9
BENCH_ARGS ?= --benchmark_repetitions=$(BENCH_REPETITIONS) \
        --benchmark_report_aggregates_only=true \
        --benchmark_enable_random_interleaving=true --benchmark_min_time=0.2
# The trend query needs the host program's libraries, as the armhf package does.
BENCH_ARMHF_DEPS = qemu-user g++-arm-linux-gnueabihf libc6-dev:armhf libjsoncpp-dev:armhf \
        libboost-date-time-dev:armhf libmodbus-dev:armhf libsqlite3-dev:armhf \
        libmosquitto-dev:armhf zlib1g-dev:armhf libzstd-dev:armhf

.PHONY: bench bench-build bench-icount bench-icount-armhf

bench-build: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKV830_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target kv830_bench kv830_icount link_bench \
	    modbus_server_bench history_bench history_icount

# The link's figures are wall-clock times of two processes on a pseudo-terminal: a loaded
# machine's scheduling shows in them, so run it on a quiet one. Where the user may, both
# processes run at a real-time priority (as a gateway's polling service may be set up), so
# that other work on the machine does not delay their wake-ups.
LINK_BENCH_ARGS ?= --benchmark_repetitions=3
LINK_BENCH_PRIORITY := $(shell chrt -f 10 true 2>/dev/null && echo chrt -f 10)

# Both halves run even when the first misses a target, so every figure is printed.
bench: bench-build
	@status=0; \
	$(BENCH_BUILD)/bench/kv830_bench $(BENCH_ARGS) \
	    --benchmark_out=$(BENCH_BUILD)/bench.json --benchmark_out_format=json || status=1; \
	echo; echo "instruction targets (callgrind):"; \
	./bench/icount.sh callgrind $(BENCH_BUILD)/bench/kv830_icount || status=1; \
	echo; echo "cycle time at the wire's limit:"; \
	$(LINK_BENCH_PRIORITY) $(BENCH_BUILD)/bench/link_bench $(LINK_BENCH_ARGS) \
	    --benchmark_out=$(BENCH_BUILD)/link_bench.json --benchmark_out_format=json || status=1; \
	echo; echo "the Modbus server under 20 clients:"; \
	$(LINK_BENCH_PRIORITY) $(BENCH_BUILD)/bench/modbus_server_bench || status=1; \
	echo; echo "the history:"; \
	$(HISTORY_BENCH) || status=1; \
	./bench/icount.sh callgrind $(BENCH_BUILD)/bench/history_icount trend_hour || status=1; \
	exit $$status

bench-icount: bench-build
	./bench/icount.sh callgrind $(BENCH_BUILD)/bench/kv830_icount

bench-icount-armhf:
	@dpkg --print-foreign-architectures | grep -qx armhf || \
	    { [ "$$(id -u)" -eq 0 ] && dpkg --add-architecture armhf || sudo dpkg --add-architecture armhf; }
	@./scripts/ensure-deps.sh cmake make $(BENCH_ARMHF_DEPS)
	cmake -S . -B $(BENCH_ARMHF_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/armhf.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DKV830_WERROR=ON -DKV830_TESTS=OFF
	cmake --build $(BENCH_ARMHF_BUILD) -j$(JOBS) --target kv830_icount history_icount
	./bench/icount.sh qemu-arm $(BENCH_ARMHF_BUILD)/bench/kv830_icount
	@# The file the trend reads is written natively: counting its writing under qemu would
	@# log every instruction of it twice.
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKV830_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target history_icount
	$(BENCH_BUILD)/bench/history_icount write $(BENCH_ARMHF_BUILD)/icount-history.db
	KV830_ICOUNT_HISTORY=$(CURDIR)/$(BENCH_ARMHF_BUILD)/icount-history.db \
	    ./bench/icount.sh qemu-arm $(BENCH_ARMHF_BUILD)/bench/history_icount trend_hour
