# Datastamp: the BMP reader, the two BMP scalers, the getters' parsing of the
# driver files, and the virtual driver's parsing of writes and snapshots. The
# sources under test are compiled into each target so that libFuzzer sees
# their coverage.
set(kep_cds_fuzz_lib_sources
  ${CMAKE_SOURCE_DIR}/middleware/vc/src/bmp.cpp
  ${CMAKE_SOURCE_DIR}/middleware/vc/src/datastamp.cpp
  ${CMAKE_SOURCE_DIR}/middleware/vc/src/font.cpp
  ${CMAKE_SOURCE_DIR}/middleware/vc/src/font_tables.cpp)
set(kep_cds_fuzz_includes ${CMAKE_SOURCE_DIR}/middleware/vc/include ${CMAKE_SOURCE_DIR}/middleware/vc/src)
foreach(target bmp_read_fuzz bmp_scale_fuzz cds_getters_fuzz)
  string(REPLACE "_fuzz" "" corpus ${target})
  kep_add_fuzzer(${target}
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp ${kep_cds_fuzz_lib_sources}
    INCLUDES ${kep_cds_fuzz_includes}
    CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/${corpus})
endforeach()
kep_add_fuzzer(stamp_apply_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stamp_apply_fuzz.cpp
          ${CMAKE_SOURCE_DIR}/platform/codecfs/stamp.cpp ${CMAKE_SOURCE_DIR}/platform/codecfs/stamp_snapshot.cpp
  INCLUDES ${CMAKE_SOURCE_DIR}/platform/codecfs
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/stamp_apply)
