# The aud32 codec in process (runs under qemu in the cross build too) and
# aud32tool as a program (host builds only: it is executed directly).
kep_add_gtest(aud32_codec_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/aud32_codec_test.cpp
  LIBS kep_audio_aud32
  LABELS codec aud32)
if(NOT CMAKE_CROSSCOMPILING)
  kep_add_gtest(aud32_tool_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/aud32_tool_test.cpp
    LABELS codec aud32)
  add_dependencies(aud32_tool_test aud32tool)
endif()
