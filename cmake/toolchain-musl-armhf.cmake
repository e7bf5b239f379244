# The camera's 32-bit ARM against musl (musl-dev:armhf, multiarch), with the
# armhf cross compiler; programs run under qemu-arm with musl's loader,
# /lib/ld-musl-armhf.so.1, which is musl's libc itself. See musl.cmake.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KEP_GNU_TRIPLE arm-linux-gnueabihf)
set(KEP_MUSL_TRIPLE arm-linux-musleabihf)
set(KEP_MUSL_CC arm-linux-musleabihf-gcc)
set(KEP_KERNEL_INCLUDE /usr/${KEP_GNU_TRIPLE}/include)
set(KEP_KERNEL_ASM /usr/${KEP_GNU_TRIPLE}/include/asm)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
