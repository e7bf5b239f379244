# The packet file on its own, in every build.
kep_add_gtest(opus_packet_file_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/opus_packet_file_test.cpp
  LIBS kep_opus_packet_file
  LABELS codec opus)

# opuspack and opusplay run as programs, on files and on the virtual "hw:0,0".
if(KEP_WITH_MEDIA)
  kep_add_gtest(opus_tools_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/opus_test_support.cpp
            ${CMAKE_CURRENT_LIST_DIR}/opuspack_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/opusplay_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/opus_roundtrip_test.cpp
    LIBS PkgConfig::KEP_OPUS m kep_test_child
    LABELS codec opus)
  add_dependencies(opus_tools_test opuspack opusplay)
  foreach(platform_target kep_alsa_config asound_module_pcm_kepfault)
    if(TARGET ${platform_target})
      add_dependencies(opus_tools_test ${platform_target})
    endif()
  endforeach()
endif()
