# aacpack and aacplay: AAC with ADTS framing on fdk-aac, with their own small
# ALSA set-up. fdk-aac comes from Debian's non-free component.
if(KEP_WITH_AUDIO)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KEP_FDK_AAC REQUIRED IMPORTED_TARGET fdk-aac)
  pkg_check_modules(KEP_AAC_ALSA REQUIRED IMPORTED_TARGET alsa)

  foreach(tool aacpack aacplay)
    add_executable(${tool} ${CMAKE_CURRENT_LIST_DIR}/${tool}.cpp)
    target_link_libraries(${tool} PRIVATE kep_mono_pcm PkgConfig::KEP_FDK_AAC PkgConfig::KEP_AAC_ALSA)
    kep_deliverable(${tool})
  endforeach()
endif()
