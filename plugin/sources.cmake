# The sources of kv830.so, relative to the project root. The project's build, the
# plug-in's own build (plugin/CMakeLists.txt) and the fuzz harnesses compile this list.
set(KV830_SOURCES
    plugin/get_providers.cpp
    plant/kv830.cpp
    plant/kv830_requests.cpp
    plant/kv830_snapshot.cpp
    plant/kv830_signals.cpp
    plant/json_text_writer.cpp)
