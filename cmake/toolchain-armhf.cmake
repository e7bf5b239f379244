# Cross build for the 32-bit little-endian ARM camera with Debian's armhf
# cross compiler (crossbuild-essential-armhf). Programs run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KEP_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${KEP_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KEP_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${KEP_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian's multiarch packages of the target (libasound2-dev:armhf and the
# like) live under / in /usr/lib/${KEP_CROSS_TRIPLE}; their pkg-config
# answers through the target's wrapper.
set(CMAKE_LIBRARY_ARCHITECTURE ${KEP_CROSS_TRIPLE})
list(APPEND CMAKE_FIND_ROOT_PATH /)
if(EXISTS /usr/bin/${KEP_CROSS_TRIPLE}-pkg-config)
  set(PKG_CONFIG_EXECUTABLE /usr/bin/${KEP_CROSS_TRIPLE}-pkg-config CACHE FILEPATH "pkg-config for the target" FORCE)
endif()
# The sysroot's own C library first: with Debian's armhf multiarch libc6 also
# installed, the loader of the sysroot would otherwise pick up that one's
# libc from /lib/arm-linux-gnueabihf, a different build, and threads crash.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/usr/${KEP_CROSS_TRIPLE};-E;LD_LIBRARY_PATH=/usr/${KEP_CROSS_TRIPLE}/lib)
