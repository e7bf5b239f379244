# aacpack and aacplay, run as programs. FFmpeg's parser and decoder check the
# streams independently; fdk-aac itself makes the streams the programs cannot.
if(KEP_WITH_MEDIA)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KEP_TEST_AAC_DEPS REQUIRED IMPORTED_TARGET fdk-aac libavcodec libavutil)
  add_library(aac_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/aac_support.cpp)
  target_compile_definitions(aac_test_support PRIVATE KEP_BUILD_DIR="${CMAKE_BINARY_DIR}")
  target_link_libraries(aac_test_support PUBLIC PkgConfig::KEP_TEST_AAC_DEPS kep_test_child)

  kep_add_gtest(aac_pack_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/aac_pack_test.cpp
                LIBS aac_test_support LABELS codec)
  add_dependencies(aac_pack_test aacpack)
  kep_add_gtest(aac_play_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/aac_play_test.cpp
                LIBS aac_test_support LABELS codec)
  add_dependencies(aac_play_test aacplay)
  kep_add_gtest(aac_roundtrip_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/aac_roundtrip_test.cpp
                LIBS aac_test_support LABELS codec)
  add_dependencies(aac_roundtrip_test aacpack aacplay)
  # Device mode runs on the virtual platform's "hw:0,0" (platform/alsa).
  if(TARGET kep_alsa_config)
    kep_add_gtest(aac_device_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/aac_device_test.cpp
                  LIBS aac_test_support LABELS codec)
    add_dependencies(aac_device_test aacpack aacplay kep_alsa_config)
  endif()
endif()
