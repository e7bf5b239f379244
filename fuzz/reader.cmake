# Bit-stream reader: the frame splitter for H.264 and MJPEG in file and
# memory mode (one target each, fuzzer-chosen destination sizes and read
# boundaries; H.264 checked against the plain group-of-four splitter of the
# reader tests), and the exported bit reader. The library sources are
# compiled into each target so that libFuzzer sees their coverage.
set(kep_reader_fuzz_lib_sources
  ${CMAKE_SOURCE_DIR}/middleware/vc/src/bs_reader.cpp
  ${CMAKE_SOURCE_DIR}/middleware/vc/src/h264_parser.cpp
  ${CMAKE_SOURCE_DIR}/middleware/vc/src/mjpeg_parser.cpp
  ${CMAKE_SOURCE_DIR}/middleware/vc/src/bits.cpp
  ${CMAKE_SOURCE_DIR}/middleware/vc/src/device.cpp)
set(kep_reader_fuzz_includes ${CMAKE_SOURCE_DIR}/middleware/vc/include ${CMAKE_SOURCE_DIR}/middleware/vc/src
                             ${CMAKE_SOURCE_DIR}/tests/reader)
# The plain splitter that the H.264 targets check against guides nothing:
# tracing its comparisons would only slow each run down.
if(KEP_FUZZ)
  set_source_files_properties(${CMAKE_SOURCE_DIR}/tests/reader/reader_support.cpp
                              PROPERTIES COMPILE_OPTIONS -fno-sanitize-coverage=trace-cmp)
endif()
foreach(format h264 mjpeg)
  foreach(mode file memory)
    set(target reader_${format}_${mode}_fuzz)
    kep_add_fuzzer(${target}
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/reader_fuzz.cpp ${CMAKE_SOURCE_DIR}/tests/reader/reader_support.cpp
              ${kep_reader_fuzz_lib_sources}
      INCLUDES ${kep_reader_fuzz_includes}
      CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/reader_${format}_${mode})
    string(TOUPPER ${format} fourcc)
    string(REPLACE "MJPEG" "MJPG" fourcc ${fourcc})
    if(mode STREQUAL "file")
      set(file_mode 1)
    else()
      set(file_mode 0)
    endif()
    target_compile_definitions(${target} PRIVATE FUZZ_FOURCC=KEP_FOURCC_${fourcc} FUZZ_FILE_MODE=${file_mode})
  endforeach()
endforeach()
kep_add_fuzzer(bits_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bits_fuzz.cpp ${kep_reader_fuzz_lib_sources}
  INCLUDES ${kep_reader_fuzz_includes}
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/bits)

# Writes the seed corpus (run by hand, its output is committed):
# build/fuzz/reader_make_seeds fuzz/corpus
if(NOT KEP_FUZZ)
  add_executable(reader_make_seeds ${CMAKE_CURRENT_LIST_DIR}/reader_make_seeds.cpp
                                   ${CMAKE_SOURCE_DIR}/tests/reader/reader_support.cpp)
  target_include_directories(reader_make_seeds PRIVATE ${CMAKE_SOURCE_DIR}/tests/reader)
  target_link_libraries(reader_make_seeds PRIVATE kep_vc)
  set_target_properties(reader_make_seeds PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endif()
