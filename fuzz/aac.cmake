# aacplay's ADTS input, through the program's own decode loop (every build
# with the audio programs, the 32-bit one included).
if(KEP_WITH_AUDIO)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KEP_FUZZ_FDK_AAC REQUIRED IMPORTED_TARGET fdk-aac)
  pkg_check_modules(KEP_FUZZ_AAC_ALSA REQUIRED IMPORTED_TARGET alsa)
  kep_add_fuzzer(aacplay_fuzz
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/aacplay_fuzz.cpp
            ${CMAKE_SOURCE_DIR}/apps/codec/mono_pcm.cpp
    INCLUDES ${CMAKE_SOURCE_DIR}/apps/codec
    LIBS PkgConfig::KEP_FUZZ_FDK_AAC PkgConfig::KEP_FUZZ_AAC_ALSA
    CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/aacplay)
endif()
