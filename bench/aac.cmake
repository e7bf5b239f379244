# aacpack/aacplay against a bare fdk-aac loop (aac_bench_fdk, which links
# fdk-aac only, like the tools) and FFmpeg's AAC encoder and decoder.
#   build/bench/aac_bench [seconds] [rounds]
if(KEP_WITH_MEDIA)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KEP_BENCH_FDK_AAC REQUIRED IMPORTED_TARGET fdk-aac)
  pkg_check_modules(KEP_BENCH_AVCODEC REQUIRED IMPORTED_TARGET libavcodec libavutil)
  add_executable(aac_bench_fdk ${CMAKE_CURRENT_LIST_DIR}/aac_bench_fdk.cpp)
  target_link_libraries(aac_bench_fdk PRIVATE PkgConfig::KEP_BENCH_FDK_AAC)
  add_executable(aac_bench ${CMAKE_CURRENT_LIST_DIR}/aac_bench.cpp)
  target_link_libraries(aac_bench PRIVATE PkgConfig::KEP_BENCH_AVCODEC m)
  target_compile_definitions(aac_bench PRIVATE KEP_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  set_target_properties(aac_bench aac_bench_fdk PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  add_dependencies(aac_bench aac_bench_fdk aacpack aacplay)
endif()
