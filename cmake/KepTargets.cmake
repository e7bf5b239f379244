# Shared build settings for kep targets.

add_compile_options(-Wall -Wextra)
if(KEP_WERROR)
  add_compile_options(-Werror)
endif()

# The fuzz build runs everything under AddressSanitizer and
# UndefinedBehaviorSanitizer (undefined behaviour ends the run, so the fuzzer
# records it as a crash), and instruments every library for libFuzzer's
# coverage, not only the code compiled into the targets.
if(KEP_FUZZ)
  if(KEP_SANITIZE STREQUAL "thread")
    message(FATAL_ERROR "KEP_FUZZ runs under AddressSanitizer, not with KEP_SANITIZE=thread")
  endif()
  set(KEP_SANITIZE ON)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# KEP_SANITIZER_ENV: what a test's processes need in their environment.
set(KEP_SANITIZER_ENV "")
if(KEP_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # A refused huge allocation returns NULL, as without the checker, so the
  # programs' own checks are what the tests see; a child forked from a
  # threaded test may start threads of its own.
  set(KEP_SANITIZER_ENV TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp:second_deadlock_stack=1:allocator_may_return_null=1:die_after_fork=0)
elseif(KEP_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # The virtual platform is preloaded ahead of the sanitizer runtime.
  set(KEP_SANITIZER_ENV ASAN_OPTIONS=verify_asan_link_order=0
                        LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp)
endif()

if(KEP_COVERAGE)
  add_compile_options(--coverage)
  add_link_options(--coverage)
endif()

# Adds every immediate subfolder of DIR that holds a CMakeLists.txt.
function(kep_add_subdirectories dir)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/${dir}
       ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
  list(SORT children)
  foreach(child ${children})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${child}/CMakeLists.txt)
      add_subdirectory(${dir}/${child})
    endif()
  endforeach()
endfunction()

# C++ as a sharper C: the deliverables carry no exception tables, no RTTI and
# no iostreams.
function(kep_deliverable target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
endfunction()
