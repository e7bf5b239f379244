# opuspack and opusplay, and the packet-file code both use.

# The packet file needs only the C library, so its tests and fuzz target can
# use it in every build.
add_library(kep_opus_packet_file STATIC ${CMAKE_CURRENT_LIST_DIR}/opus_packet_file.cpp)
target_include_directories(kep_opus_packet_file PUBLIC ${CMAKE_CURRENT_LIST_DIR})
kep_deliverable(kep_opus_packet_file)

if(KEP_WITH_AUDIO)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KEP_OPUS REQUIRED IMPORTED_TARGET GLOBAL opus)
  pkg_check_modules(KEP_ALSA REQUIRED IMPORTED_TARGET GLOBAL alsa)

  foreach(tool opuspack opusplay)
    add_executable(${tool} ${CMAKE_CURRENT_LIST_DIR}/${tool}.cpp)
    target_link_libraries(${tool} PRIVATE kep_opus_packet_file kep_mono_pcm PkgConfig::KEP_OPUS PkgConfig::KEP_ALSA)
    kep_deliverable(${tool})
  endforeach()
endif()
