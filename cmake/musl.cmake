# Shared part of the musl toolchain files (toolchain-musl.cmake for the PC,
# toolchain-musl-armhf.cmake for the camera's ARM): the camera's own C
# library is a small one of the same kind, which Debian does not have; musl
# stands in for it. Set before inclusion: KEP_GNU_TRIPLE (the GCC that
# compiles), KEP_MUSL_TRIPLE (musl's folder names), KEP_MUSL_CC (musl's
# wrapper of that GCC), KEP_KERNEL_INCLUDE and KEP_KERNEL_ASM (the folders
# holding the kernel's linux/ and asm-generic/ headers and its asm/ ones).
#
# Only what links the C library alone is built (KEP_SMALL_LIBC): libkep_vc,
# mdcap and aud32tool with their stand-ins, and the C-level tests. C++ is
# compiled by the same GCC against musl's headers and the compiler's own,
# with no C++ library headers (Debian's are configured for glibc), and linked
# by the C driver, so that any use of the C++ runtime fails to link.
set(CMAKE_SYSTEM_NAME Linux)
set(KEP_SMALL_LIBC musl)
set(CMAKE_C_COMPILER ${KEP_MUSL_CC})
set(CMAKE_CXX_COMPILER ${KEP_GNU_TRIPLE}-g++)

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE _kep_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
# The kernel's headers (linux/videodev2.h) without the rest of glibc's
# include folder they sit in: a folder of links to just those.
set(_kep_kernel ${CMAKE_BINARY_DIR}/kernel-headers)
file(MAKE_DIRECTORY ${_kep_kernel})
foreach(part linux asm-generic)
  file(CREATE_LINK ${KEP_KERNEL_INCLUDE}/${part} ${_kep_kernel}/${part} SYMBOLIC)
endforeach()
file(CREATE_LINK ${KEP_KERNEL_ASM} ${_kep_kernel}/asm SYMBOLIC)
set(_kep_includes "-nostdinc -isystem /usr/include/${KEP_MUSL_TRIPLE} -isystem ${_kep_gcc_include} -isystem ${_kep_kernel}")
set(CMAKE_CXX_FLAGS_INIT "${_kep_includes}")
set(CMAKE_C_FLAGS_INIT "-isystem ${_kep_kernel}")

set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
set(CMAKE_CXX_CREATE_SHARED_LIBRARY
    "<CMAKE_C_COMPILER> <CMAKE_SHARED_LIBRARY_CXX_FLAGS> <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> <CMAKE_SHARED_LIBRARY_CREATE_CXX_FLAGS> <SONAME_FLAG><TARGET_SONAME> -o <TARGET> <OBJECTS> <LINK_LIBRARIES>")

set(CMAKE_FIND_ROOT_PATH /usr/lib/${KEP_MUSL_TRIPLE} /usr/include/${KEP_MUSL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
