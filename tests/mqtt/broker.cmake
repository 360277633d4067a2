# The real mosquitto broker and the recording subscriber as a library of their own, so
# that the end-to-end tests start brokers the same way as the MQTT module tests.
#
# Included by tests/e2e/ and by tests/mqtt/, whichever CMake reaches first.
if(NOT TARGET kv830_mqtt_broker)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KV830_BROKER_MOSQUITTO QUIET IMPORTED_TARGET GLOBAL libmosquitto)
  find_program(KV830_MOSQUITTO mosquitto PATHS /usr/sbin /usr/local/sbin)
  if(KV830_BROKER_MOSQUITTO_FOUND AND KV830_MOSQUITTO)
    add_library(kv830_mqtt_broker STATIC ${CMAKE_CURRENT_LIST_DIR}/broker.cpp)
    target_include_directories(kv830_mqtt_broker PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_compile_definitions(kv830_mqtt_broker PRIVATE KV830_MOSQUITTO="${KV830_MOSQUITTO}")
    target_link_libraries(kv830_mqtt_broker PUBLIC PkgConfig::KV830_BROKER_MOSQUITTO
                          Threads::Threads)
    kv830_warnings(kv830_mqtt_broker)
  endif()
endif()
