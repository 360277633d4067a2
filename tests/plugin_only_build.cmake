# Configures and builds plugin/CMakeLists.txt on its own, as an integrator does: a build
# folder of its own, the contract headers (or SDK) and the toolchain given, nothing else
# of the project. Run with cmake -P and
#   -DSOURCE=<plugin folder> -DBINARY=<build folder> -DCXX=<compiler>
#   [-DTOOLCHAIN=<toolchain file>] [-DBUILD_TYPE=<type>] [-DSDK=<headers folder>]
foreach(var SOURCE BINARY CXX)
  if(NOT ${var})
    message(FATAL_ERROR "plugin_only_build.cmake needs -D${var}=...")
  endif()
endforeach()

# A fresh configuration each run: a cache left by an earlier run with other paths must
# not decide what this one compiles against.
file(REMOVE_RECURSE ${BINARY})
set(args -S ${SOURCE} -B ${BINARY} -DKV830_WERROR=ON)
if(TOOLCHAIN)
  list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
else()
  list(APPEND args -DCMAKE_CXX_COMPILER=${CXX})
endif()
if(BUILD_TYPE)
  list(APPEND args -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
endif()
if(SDK)
  list(APPEND args -DKV830_HOST_SDK=${SDK})
endif()

execute_process(COMMAND ${CMAKE_COMMAND} ${args} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring the plug-in's own build failed (${rc})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} -j 2 RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building kv830.so from the contract headers failed (${rc})")
endif()
if(NOT EXISTS ${BINARY}/kv830.so)
  message(FATAL_ERROR "the plug-in's own build left no ${BINARY}/kv830.so")
endif()
