# Capture to encode at 1280x720: the libkep_vc loop against the same loop in
# raw requests, both on the virtual platform in the same run.
#   build/bench/encoder_bench [frames per round] [rounds]
add_executable(encoder_bench ${CMAKE_CURRENT_LIST_DIR}/encoder_bench.cpp)
target_link_libraries(encoder_bench PRIVATE kep_vc kep_vcam)
set_target_properties(encoder_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
