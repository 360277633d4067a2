# Instrumented builds, loaded after project() through CMAKE_PROJECT_INCLUDE so that the
# ordinary build files stay free of them.
#
#   KV830_SANITIZE=address,undefined   or   KV830_SANITIZE=thread
#   KV830_COVERAGE=ON
#
# Only executables link a sanitizer runtime. kv830.so and libqdxhost.so are instrumented
# but leave the runtime's symbols undefined, to be bound to the one the test executable
# carries: the plug-in keeps exactly the four needed libraries it ships with, and a
# process never ends up with two copies of a runtime.
if(KV830_SANITIZE)
  # The record is a packed structure read at odd offsets, so alignment stays checked.
  add_compile_options(-fsanitize=${KV830_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(
    "$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-fsanitize=${KV830_SANITIZE}>")
  # GCC 12 with the sanitizers' instrumentation reports std::regex's and std::function's
  # own members as maybe uninitialized (a known false positive in the library headers);
  # the ordinary build keeps the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

if(KV830_COVERAGE)
  # libgcov is linked statically into every binary, so this adds no needed library.
  add_compile_options(--coverage -O0)
  add_link_options(--coverage)
endif()
