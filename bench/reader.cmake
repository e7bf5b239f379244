# Bit-stream reader: file-mode splitting throughput of 1080p H.264 and MJPEG
# streams against FFmpeg's h264 and mjpeg parsers, with the ratios.
if(KEP_WITH_MEDIA)
  find_package(benchmark REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KEP_BENCH_READER_AV REQUIRED IMPORTED_TARGET libavcodec libavutil)
  add_executable(reader_bench ${CMAKE_CURRENT_LIST_DIR}/reader_bench.cpp
                              ${CMAKE_SOURCE_DIR}/tests/reader/media_streams.cpp)
  target_include_directories(reader_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests/reader)
  target_compile_definitions(reader_bench PRIVATE KEP_BUILD_DIR="${CMAKE_BINARY_DIR}")
  target_link_libraries(reader_bench PRIVATE kep_vc benchmark::benchmark PkgConfig::KEP_BENCH_READER_AV)
  set_target_properties(reader_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
