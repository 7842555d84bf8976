# Installation of the host-facing package: the public headers, the headers
# they include (support library, COM support, the Win32 subset), the shared
# library, a CMake package (moravane::moravane) and a pkg-config file.
#
# The support library and COM support are installed under
# include/moravane/platform, a folder only this package's include path names.
# The Win32 subset carries the SDK's header names (windows.h, ...), so it
# goes one level further down, to platform/win32, which no include path
# names: the installed headers reach it by relative includes (rewritten at
# install time), and `__has_include(<windows.h>)` stays false in a host.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(moravane_platform_includedir ${CMAKE_INSTALL_INCLUDEDIR}/moravane/platform)
set(moravane_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/moravane)

target_include_directories(moravane PUBLIC
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  $<INSTALL_INTERFACE:${moravane_platform_includedir}>)

install(TARGETS moravane EXPORT moravaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/moravane/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/moravane
  COMPONENT development FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/kelvex/include/kelvex/ DESTINATION ${moravane_platform_includedir}/kelvex
  COMPONENT development FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/comsupport/include/comsupport/
  DESTINATION ${moravane_platform_includedir}/comsupport COMPONENT development FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/platform/win32/include/windows.h ${PROJECT_SOURCE_DIR}/platform/win32/include/objbase.h
              ${PROJECT_SOURCE_DIR}/platform/win32/include/oleauto.h
  DESTINATION ${moravane_platform_includedir}/win32 COMPONENT development)
install(CODE "set(moravane_header_root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_INCLUDEDIR}/moravane\")
include(\"${PROJECT_SOURCE_DIR}/cmake/PlatformIncludes.cmake\")" COMPONENT development)

install(EXPORT moravaneTargets NAMESPACE moravane:: DESTINATION ${moravane_cmakedir} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/moravaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/moravaneConfig.cmake INSTALL_DESTINATION ${moravane_cmakedir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/moravaneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/moravaneConfig.cmake ${PROJECT_BINARY_DIR}/moravaneConfigVersion.cmake
  DESTINATION ${moravane_cmakedir} COMPONENT development)

file(RELATIVE_PATH moravane_pc_prefix /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${PROJECT_SOURCE_DIR}/cmake/moravane.pc.in ${PROJECT_BINARY_DIR}/moravane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/moravane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
