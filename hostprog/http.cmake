# The HTTP server of kv830-host (metrics, health, snapshot, events, history, writes and
# the page), a library of its own so that the tests run it in-process. Debian's
# libcpp-httplib-dev is a compiled library; its pkg-config file carries the defines the
# library was built with, which the header must see the same way.
#
# Included by hostprog/ and by tests/http/, whichever CMake reaches first; the imported
# targets are global so that both places can link the library.
if(NOT TARGET kv830host_http)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CPPHTTPLIB IMPORTED_TARGET GLOBAL cpp-httplib)
  pkg_check_modules(KV830_ZLIB IMPORTED_TARGET GLOBAL zlib)
  if(CPPHTTPLIB_FOUND AND KV830_ZLIB_FOUND)
    set(dir ${PROJECT_SOURCE_DIR}/hostprog)
    add_library(kv830host_http STATIC
        ${dir}/http_settings.cpp
        ${dir}/plant_state.cpp
        ${dir}/metrics.cpp
        ${dir}/http_server.cpp)
    target_include_directories(kv830host_http PUBLIC ${dir} ${PROJECT_SOURCE_DIR}/plant)
    target_link_libraries(kv830host_http PUBLIC kv830_common jsoncpp_lib PkgConfig::CPPHTTPLIB
                          PkgConfig::KV830_ZLIB Threads::Threads kv830_signal_table)
    kv830_warnings(kv830host_http)
  else()
    message(WARNING "cpp-httplib or zlib not found: the HTTP server is not built")
  endif()
endif()
