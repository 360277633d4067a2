# Request rate of the HTTP server while a cycle completes every second (bench/http_bench).
if(TARGET kv830host_http)
  add_executable(kv830_http_bench ${CMAKE_CURRENT_LIST_DIR}/http_bench.cpp)
  target_link_libraries(kv830_http_bench PRIVATE kv830host_http benchmark::benchmark)
  kv830_warnings(kv830_http_bench)
  if(KV830_TESTS)
    add_test(NAME Bench.HttpRunsOnceWithoutVerdict
             COMMAND kv830_http_bench --benchmark_min_time=0.01 --benchmark_filter=Status)
  endif()
endif()
