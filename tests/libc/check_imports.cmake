# Fails when FILE takes from the C library a name that is not in LIST (the
# calls checked against uClibc-ng). Names defined by the project (kep_*),
# the C runtime's start (__libc_start_main, which the camera's C library has
# under its own name in its own start files) and weak references are left
# out; musl's 64-bit time forms count as the call they stand for.
# Run with -DNM=... -DFILE=... -DLIST=...
execute_process(COMMAND ${NM} -D --undefined-only ${FILE} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} -D ${FILE} failed (${rc})")
endif()
file(STRINGS ${LIST} allowed REGEX "^[^#]")
string(REPLACE "\n" ";" lines "${undefined}")
set(unknown "")
foreach(line ${lines})
  if(NOT line MATCHES "^ *U ([^ @]+)")
    continue()
  endif()
  set(name ${CMAKE_MATCH_1})
  string(REGEX REPLACE "^__(.+)_time64$" "\\1" name "${name}")
  string(REGEX REPLACE "^__(clock_gettime|gettimeofday|time)64$" "\\1" name "${name}")
  if(name MATCHES "^kep_" OR name STREQUAL "__libc_start_main")
    continue()
  endif()
  list(FIND allowed ${name} at)
  if(at EQUAL -1)
    list(APPEND unknown ${name})
  endif()
endforeach()
if(unknown)
  message(FATAL_ERROR "${FILE} takes from the C library what is not checked against uClibc-ng: ${unknown}")
endif()
message(STATUS "${FILE}: every import is on the list")
