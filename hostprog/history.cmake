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

# Decoding through the plug-in: export and the series behind the page's trends.
# plugin_loader.cpp is compiled here too until the program's own library offers it.
add_library(kv830host_history_decode STATIC
    ${CMAKE_CURRENT_LIST_DIR}/history_decoder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/history_export.cpp
    ${CMAKE_CURRENT_LIST_DIR}/history_series.cpp
    ${CMAKE_CURRENT_LIST_DIR}/history_options.cpp
    ${CMAKE_CURRENT_LIST_DIR}/plugin_loader.cpp)
target_include_directories(kv830host_history_decode PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kv830host_history_decode PUBLIC kv830host_history kv830_common qdxhost
                      jsoncpp_lib ${CMAKE_DL_LIBS})
kv830_warnings(kv830host_history_decode)
