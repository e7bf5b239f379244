# The libkep_audio substitute's state file (any bytes may be found there).
kep_add_fuzzer(audio_state_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_state_fuzz.cpp
  LIBS kep_audio
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/audio_state)
