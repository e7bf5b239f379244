# Debian packages from the install components (cpack -G DEB; see
# scripts/package.sh). One package per component:
#   libkep-vc1        runtime   the library
#   libkep-vc-dev     dev       header, link, pkg-config, CMake package, libkep_vc(3)
#   kep-tools         tools     the programs and their manual pages
#   kep-platform      platform  stand-ins for the chip's platform libraries
#   kep-vcam          vcam      the virtual camera platform (PC only)
# A camera image takes libkep-vc1 and kep-tools; its own platform libraries
# provide kep-platform-libraries, which kep-platform provides on a PC.
# Dependencies are written out here rather than computed, so that the cross
# build needs no dpkg-shlibdeps for the target.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(KEP_DEB_ARCH amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(KEP_DEB_ARCH armhf)
else()
  set(KEP_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kep)
set(CPACK_PACKAGE_VENDOR "kep")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "IP-camera media middleware and tools")
set(CPACK_PACKAGE_CONTACT "kep developers <kep@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KEP_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_STRIP_FILES ON)

set(kep_ver "${PROJECT_VERSION}-1")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkep-vc${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34)")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "kep video middleware library\n libkep_vc drives the camera's ISP, M2M encoder and decoder through V4L2\n and the codec driver's datastamp files. C interface; links only the C library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkep-vc-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkep-vc${PROJECT_VERSION_MAJOR} (= ${kep_ver})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "kep video middleware library - development files\n kep_vc.h, libkep_vc.pc (pkg-config kep_vc), the CMake package\n (find_package(kep_vc)) and the libkep_vc(3) manual page.")

# libgcc-s1: on ARM some programs take helpers from libgcc_s.
set(tool_deps "libc6 (>= 2.34), libgcc-s1")
if(TARGET mdcap)
  string(APPEND tool_deps ", libkep-vc${PROJECT_VERSION_MAJOR} (= ${kep_ver})")
endif()
if(TARGET pcminfo OR TARGET audrec)
  string(APPEND tool_deps ", libasound2 (>= 1.2)")
endif()
if(TARGET opuspack)
  string(APPEND tool_deps ", libopus0 (>= 1.3)")
endif()
if(TARGET aacpack)
  string(APPEND tool_deps ", libfdk-aac2")
endif()
string(APPEND tool_deps ", kep-platform-libraries")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kep-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${tool_deps}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "kep camera tools\n mdcap, audrec, audtwin, audvol, pcminfo, aacpack, aacplay, opuspack,\n opusplay and aud32tool, with their manual pages.")

set(CPACK_DEBIAN_PLATFORM_PACKAGE_NAME kep-platform)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_DEBIAN_PLATFORM_PACKAGE_PROVIDES "kep-platform-libraries")
set(CPACK_COMPONENT_PLATFORM_DESCRIPTION "kep platform libraries for a PC\n Stand-ins for the camera's own libkep_isp, libkep_audio and\n libkep_audio_aud32, so that the kep tools run away from the camera.")

set(CPACK_DEBIAN_VCAM_PACKAGE_NAME kep-vcam)
set(CPACK_DEBIAN_VCAM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_VCAM_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libavcodec59, libavutil57, libfuse3-3, fuse3, libasound2, kep-platform (= ${kep_ver})")
set(CPACK_COMPONENT_VCAM_DESCRIPTION "kep virtual camera platform\n Runs the kep library and tools on a PC: the vcam launcher preloads\n virtual ISP, encoder and decoder nodes; codecfs serves the codec\n driver's datastamp files; virtual ALSA devices.")

# The virtual platform is for a PC only: the camera never gets it.
set(CPACK_COMPONENTS_ALL runtime dev tools platform)
if(NOT CMAKE_CROSSCOMPILING AND TARGET vcam)
  list(APPEND CPACK_COMPONENTS_ALL vcam)
endif()
set(CPACK_OUTPUT_FILE_PREFIX packages)
include(CPack)
