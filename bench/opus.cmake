# opuspack/opusplay against a bare libopus loop and opusenc/opusdec.
#   build/bench/opus_bench [seconds] [rounds]
if(KEP_WITH_MEDIA)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KEP_BENCH_OPUS REQUIRED IMPORTED_TARGET opus)
  add_executable(opus_bench ${CMAKE_CURRENT_LIST_DIR}/opus_bench.cpp)
  target_link_libraries(opus_bench PRIVATE PkgConfig::KEP_BENCH_OPUS m)
  target_compile_definitions(opus_bench PRIVATE KEP_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  set_target_properties(opus_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  add_dependencies(opus_bench opuspack opusplay)
endif()
