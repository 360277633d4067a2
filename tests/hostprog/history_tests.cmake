# The history: store, grouped commits, export and series.
if(NOT TARGET kv830host_history_decode AND NOT EXISTS ${PROJECT_SOURCE_DIR}/hostprog/history.cmake)
  return()
endif()
add_executable(kv830_history_tests
    ${CMAKE_CURRENT_LIST_DIR}/history_store_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/history_writer_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/history_export_test.cpp)
target_include_directories(kv830_history_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}
                           ${PROJECT_SOURCE_DIR}/plant)
target_link_libraries(kv830_history_tests PRIVATE kv830host_history_decode kv830host_history
                      kv830_signal_table kv830_test_process
                      plant_sim_core GTest::gtest GTest::gtest_main)
target_compile_definitions(kv830_history_tests PRIVATE KV830_SO="$<TARGET_FILE:kv830>"
                           KV830_HOST_BIN="$<TARGET_FILE:kv830-host>")
add_dependencies(kv830_history_tests kv830 kv830-host)
kv830_warnings(kv830_history_tests)
# The writer commits on a thread of its own: its tests run under the thread sanitizer
# (one label only: gtest_discover_tests flattens a list given to PROPERTIES).
gtest_discover_tests(kv830_history_tests DISCOVERY_MODE PRE_TEST TEST_FILTER "-HistoryWriter.*"
                     PROPERTIES TIMEOUT 300 LABELS history)
gtest_discover_tests(kv830_history_tests DISCOVERY_MODE PRE_TEST TEST_FILTER "HistoryWriter.*"
                     PROPERTIES TIMEOUT 300 LABELS concurrency)
