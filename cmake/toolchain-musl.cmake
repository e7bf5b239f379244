# The PC against musl (musl-tools): x86-64 programs run natively with musl's
# loader, /lib/ld-musl-x86_64.so.1. See musl.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KEP_GNU_TRIPLE x86_64-linux-gnu)
set(KEP_MUSL_TRIPLE x86_64-linux-musl)
set(KEP_MUSL_CC musl-gcc)
set(KEP_KERNEL_INCLUDE /usr/include)
set(KEP_KERNEL_ASM /usr/include/${KEP_GNU_TRIPLE}/asm)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
