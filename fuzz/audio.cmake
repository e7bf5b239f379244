# The libkep_audio substitute's state file (any bytes may be found there).
# The library source is compiled in so that the fuzzer sees its coverage.
kep_add_fuzzer(audio_state_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_state_fuzz.cpp
          ${CMAKE_SOURCE_DIR}/platform/audio/kep_audio.cpp
  INCLUDES ${CMAKE_SOURCE_DIR}/platform/audio/include
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/audio_state)
