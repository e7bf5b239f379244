# opusplay's packet-file record loop.
if(KEP_WITH_AUDIO)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KEP_FUZZ_OPUS REQUIRED IMPORTED_TARGET opus)
  kep_add_fuzzer(opusplay_fuzz
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/opusplay_fuzz.cpp
            ${CMAKE_SOURCE_DIR}/apps/codec/opus_packet_file.cpp
    INCLUDES ${CMAKE_SOURCE_DIR}/apps/codec
    LIBS PkgConfig::KEP_FUZZ_OPUS
    CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/opusplay)
endif()
