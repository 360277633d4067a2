# The history: SQLite store, grouped commits off the polling thread, and the decoding
# of stored rounds through the plug-in (export, series for the page's trends).
add_library(kv830host_history STATIC
    ${CMAKE_CURRENT_LIST_DIR}/history_codec.cpp
    ${CMAKE_CURRENT_LIST_DIR}/history_time.cpp
    ${CMAKE_CURRENT_LIST_DIR}/history_store.cpp
    ${CMAKE_CURRENT_LIST_DIR}/history_writer.cpp)
target_include_directories(kv830host_history PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kv830host_history PUBLIC PkgConfig::SQLITE3 Threads::Threads)
kv830_warnings(kv830host_history)
