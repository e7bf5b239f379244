# What `cmake --install` puts under the prefix, by component:
#   runtime   libkep_vc.so.1 (what a camera application needs at run time)
#   dev       kep_vc.h, the libkep_vc.so link, libkep_vc.pc, the CMake package
#   tools     the programs and their manual pages
#   platform  stand-ins for the chip's own platform libraries (libkep_isp,
#             libkep_audio, libkep_audio_aud32); a camera has its own
#   vcam      the virtual camera platform for a PC (launcher, preload
#             library, datastamp file system, virtual ALSA devices)
# Rules refer to targets by name, so a module that is not built for this
# target (mdcap before it exists, the media tools in the cross build) is
# simply left out.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KEP_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kep_vc)

# libkep_vc: the versioned library in runtime, the unversioned link in dev.
install(TARGETS kep_vc EXPORT kep_vcTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/middleware/vc/include/kep_vc.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT kep_vcTargets NAMESPACE kep_vc:: DESTINATION ${KEP_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/middleware/vc/pkg/kep_vcConfig.cmake.in
  ${PROJECT_BINARY_DIR}/pkg/kep_vcConfig.cmake INSTALL_DESTINATION ${KEP_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/pkg/kep_vcConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/pkg/kep_vcConfig.cmake ${PROJECT_BINARY_DIR}/pkg/kep_vcConfigVersion.cmake
  DESTINATION ${KEP_CMAKE_PACKAGE_DIR} COMPONENT dev)
file(RELATIVE_PATH KEP_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KEP_PC_TO_PREFIX "${KEP_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/middleware/vc/pkg/libkep_vc.pc.in ${PROJECT_BINARY_DIR}/pkg/libkep_vc.pc @ONLY)
# Installed under both names: the library's own and the short one that
# `pkg-config kep_vc` asks for.
install(FILES ${PROJECT_BINARY_DIR}/pkg/libkep_vc.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/pkg/libkep_vc.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  RENAME kep_vc.pc COMPONENT dev)

# The ten programs.
set(KEP_PROGRAMS mdcap audrec audtwin audvol pcminfo aacpack aacplay opuspack opusplay aud32tool)
foreach(prog ${KEP_PROGRAMS})
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

# Stand-ins for the chip's platform libraries that the programs link.
foreach(lib kep_isp kep_audio kep_audio_aud32)
  if(TARGET ${lib})
    install(TARGETS ${lib} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT platform)
  endif()
endforeach()

# The virtual camera platform. The launcher finds its preload library in
# ../lib and the ALSA devices in ../share/alsa, so these keep plain paths.
if(TARGET vcam AND TARGET kep_vcam)
  install(TARGETS vcam RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vcam)
  install(TARGETS kep_vcam LIBRARY DESTINATION lib COMPONENT vcam)
  if(TARGET codecfs)
    install(TARGETS codecfs RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vcam)
  endif()
  if(TARGET kep_alsa_config)
    # The installed device file names the installed test signal.
    set(KEP_ALSA_SHARE_DIR ${CMAKE_INSTALL_PREFIX}/share/alsa)
    configure_file(${PROJECT_SOURCE_DIR}/platform/alsa/kep-virtual.conf.in ${PROJECT_BINARY_DIR}/pkg/alsa/kep-virtual.conf @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/pkg/alsa/kep-virtual.conf ${PROJECT_BINARY_DIR}/share/alsa/kep-test-signal.raw
      DESTINATION share/alsa COMPONENT vcam)
  endif()
endif()

# Manual pages: one per program with the tools, the library's with dev.
foreach(prog ${KEP_PROGRAMS})
  if(TARGET ${prog})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/man/${prog}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/libkep_vc.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)

# Everything the rules above install, for a build that only packages
# (scripts/package.sh builds this target instead of all).
add_custom_target(kep_installables)
foreach(t kep_vc ${KEP_PROGRAMS} kep_isp kep_audio kep_audio_aud32 vcam kep_vcam codecfs kep_alsa_config)
  if(TARGET ${t})
    add_dependencies(kep_installables ${t})
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/KepPackaging.cmake)
