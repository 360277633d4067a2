# The HTTP server of kv830-host (hostprog/http/) is built on Boost.Beast and Boost.Asio,
# headers only, from the libboost1.74-dev that libboost-date-time-dev already brings; its
# tests check /metrics with promtool from the prometheus package.
EXTRA_DEPS += zlib1g-dev prometheus

# make bench-http: the server under load and its footprint, judged (bench/http_bench.cpp):
# /healthz answers within 1 s while 200 slow clients hold connections, and the server runs
# on at most 3 threads. MALLOC_ARENA_MAX=1 shows the server's own address space.
.PHONY: bench-http
bench-http: bench-build
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target kv830_http_bench
	$(BENCH_BUILD)/bench/kv830_http_bench --benchmark_min_time=0.2
