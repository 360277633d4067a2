# The HTTP server of kv830-host (metrics, health, snapshot, events, history, writes and
# the page), a library of its own so that the tests run it in-process. Debian's
# libcpp-httplib-dev is a compiled library; its pkg-config file carries the defines the
# library was built with, which the header must see the same way.
pkg_check_modules(CPPHTTPLIB IMPORTED_TARGET cpp-httplib)
find_package(ZLIB)
if(CPPHTTPLIB_FOUND AND ZLIB_FOUND)
  add_library(kv830host_http STATIC
      ${CMAKE_CURRENT_LIST_DIR}/http_settings.cpp
      ${CMAKE_CURRENT_LIST_DIR}/plant_state.cpp
      ${CMAKE_CURRENT_LIST_DIR}/metrics.cpp
      ${CMAKE_CURRENT_LIST_DIR}/http_server.cpp
      ${PROJECT_SOURCE_DIR}/plant/kv830_signals.cpp)
  target_include_directories(kv830host_http PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                             ${PROJECT_SOURCE_DIR}/plant)
  target_link_libraries(kv830host_http PUBLIC kv830_common jsoncpp_lib PkgConfig::CPPHTTPLIB
                        ZLIB::ZLIB Threads::Threads)
  kv830_warnings(kv830host_http)
else()
  message(WARNING "cpp-httplib or zlib not found: the HTTP server is not built")
endif()
