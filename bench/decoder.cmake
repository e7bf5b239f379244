# Stored-stream decode and decode-to-encode at 1280x720: the libkep_vc loops
# against the same loops in raw requests, on the virtual platform in one run.
#   build/bench/decoder_bench [frames per round] [rounds]
add_executable(decoder_bench ${CMAKE_CURRENT_LIST_DIR}/decoder_bench.cpp)
target_link_libraries(decoder_bench PRIVATE kep_vc kep_vcam)
set_target_properties(decoder_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
