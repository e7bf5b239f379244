# GoogleTest is built from the sources Debian ships, so the same code serves
# the host, the sanitizer and the cross build.
set(KEP_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${KEP_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# kep_add_gtest(NAME SOURCES... [LIBS ...] [ENV ...] [LABELS ...])
# One executable per behaviour area; each test case becomes its own ctest entry.
function(kep_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main ${T_LIBS})
  if(KEP_COVERAGE)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common/gcov_exit.c)
    target_link_options(${name} PRIVATE -Wl,--wrap=_exit)
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    KEP_BUILD_DIR="${CMAKE_BINARY_DIR}" KEP_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  set(env KEP_BUILD_DIR=${CMAKE_BINARY_DIR} ${T_ENV} ${KEP_SANITIZER_ENV})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300)
  # The environment is set by a script of our own that ctest runs after the
  # discovered tests are defined: passed through PROPERTIES, a list of several
  # variables loses all but the first on its way through the discovery.
  set(env_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake)
  file(WRITE ${env_script}
       "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT [==[${env}]==])\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${env_script})
endfunction()
