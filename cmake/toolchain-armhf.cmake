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
# The sysroot's own C library first: with Debian's armhf multiarch libc6 also
# installed, the loader of the sysroot would otherwise pick up that one's
# libc from /lib/arm-linux-gnueabihf, a different build, and threads crash.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/usr/${KEP_CROSS_TRIPLE};-E;LD_LIBRARY_PATH=/usr/${KEP_CROSS_TRIPLE}/lib)
