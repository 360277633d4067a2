# Cross build for the 32-bit ARM hard-float target with Debian's cross compiler and the
# armhf packages of the libraries (dpkg --add-architecture armhf). The tests run through
# qemu-arm, named here because the machines that build this have no binfmt handler.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KV830_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${KV830_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KV830_TRIPLET}-g++)
# Debian keeps the armhf libraries and their CMake packages under the multiarch
# directories of the ordinary prefix; the headers are shared with the native build.
set(CMAKE_LIBRARY_ARCHITECTURE ${KV830_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${KV830_TRIPLET} /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's loader and C library come from Debian's libc6:armhf (installed with the
# armhf jsoncpp), found at their ordinary paths like every other armhf library. No -L
# prefix: with /usr/arm-linux-gnueabihf as prefix the emulator would take the cross
# toolchain's loader but the multiarch C library, two different builds of glibc, and
# every program that starts a thread crashes.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

# pkg-config must describe the armhf libraries, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KV830_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
