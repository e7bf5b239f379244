# The dynamic symbol table of libkep_vc against its public header: every name
# the header declares with KEP_VC_API is defined and exported, and nothing
# else is, so that no internal name can become part of the interface by
# accident. With -DSONAME=..., checks instead that the library carries that
# SONAME (the major version of the interface).
# Run with -DNM=... -DLIB=... -DHEADER=...  or  -DREADELF=... -DLIB=... -DSONAME=...
if(DEFINED SONAME)
  execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${READELF} -d ${LIB} failed (${rc})")
  endif()
  if(NOT dyn MATCHES "\\(SONAME\\)[^\n]*\\[([^]\n]*)\\]")
    message(FATAL_ERROR "${LIB} has no SONAME:\n${dyn}")
  endif()
  if(NOT CMAKE_MATCH_1 STREQUAL SONAME)
    message(FATAL_ERROR "${LIB} has SONAME ${CMAKE_MATCH_1}, expected ${SONAME}")
  endif()
  message(STATUS "${LIB}: SONAME ${SONAME}")
  return()
endif()

file(READ ${HEADER} header)
# Strip comments so that a commented-out declaration does not count.
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" header "${header}")
# Preprocessor lines (the macro's own definition) are not declarations.
string(REGEX REPLACE "\n[ \t]*#[^\n]*" "" header "${header}")
# An array's "[" would keep CMake from splitting the list: read it as "(".
string(REPLACE "[" "(" header "${header}")
string(REGEX MATCHALL "KEP_VC_API[^;(\n]*[ *]([A-Za-z_][A-Za-z0-9_]*)[ \t]*\\(" decls "${header}")
set(declared "")
foreach(d ${decls})
  string(REGEX REPLACE ".*[ *]([A-Za-z_][A-Za-z0-9_]*)[ \t]*\\($" "\\1" name "${d}")
  list(APPEND declared ${name})
endforeach()
list(LENGTH declared n_declared)
if(n_declared LESS 10)
  message(FATAL_ERROR "found only ${n_declared} KEP_VC_API declarations in ${HEADER}: ${declared}")
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE nm_out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} -D ${LIB} failed (${rc})")
endif()
string(REPLACE "\n" ";" lines "${nm_out}")
set(exported "")
foreach(line ${lines})
  # "VALUE TYPE NAME[@@VERSION]"; type A marks the version node itself.
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^@ ]+)")
    set(type ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    if(NOT type STREQUAL "A")
      list(APPEND exported ${name})
    endif()
  endif()
endforeach()

set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
if(extra OR missing)
  message(FATAL_ERROR "${LIB} does not export exactly the interface of ${HEADER}:\n"
                      "  exported but not declared: ${extra}\n"
                      "  declared but not exported: ${missing}")
endif()
message(STATUS "${LIB}: ${n_declared} declared names, all exported, nothing else")

