# aud32tool needs only the aud32 codec library, so it builds for the camera too.
add_executable(aud32tool ${CMAKE_CURRENT_LIST_DIR}/aud32tool.cpp)
target_link_libraries(aud32tool PRIVATE kep_audio_aud32)
kep_deliverable(aud32tool)
