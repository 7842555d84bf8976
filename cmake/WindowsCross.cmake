# Set-up of a cross build for Windows from Linux (the mingw-* presets).
#
# Boost: only its header-only parts are used (bind, function, the recursive
# mutex), so the host's /usr/include/boost serves the Windows build as well.
# It is reached through a directory that holds nothing but a link to it:
# adding /usr/include itself would put the host's C library headers in front
# of the target's.
find_path(MORAVANE_HOST_BOOST_DIR boost/version.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT MORAVANE_HOST_BOOST_DIR)
  message(FATAL_ERROR "Boost headers not found in /usr/include (package libboost-dev)")
endif()
set(moravane_boost_root ${CMAKE_BINARY_DIR}/boost-headers)
file(MAKE_DIRECTORY ${moravane_boost_root})
file(CREATE_LINK ${MORAVANE_HOST_BOOST_DIR}/boost ${moravane_boost_root}/boost SYMBOLIC)
add_library(Boost::headers INTERFACE IMPORTED GLOBAL)
set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${moravane_boost_root})

# CLI11 (the command-line host's parser) is header-only as well and is
# reached the same way.
find_path(MORAVANE_HOST_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(MORAVANE_HOST_CLI11_DIR)
  set(moravane_cli11_root ${CMAKE_BINARY_DIR}/cli11-headers)
  file(MAKE_DIRECTORY ${moravane_cli11_root})
  file(CREATE_LINK ${MORAVANE_HOST_CLI11_DIR}/CLI ${moravane_cli11_root}/CLI SYMBOLIC)
  set(CLI11_INCLUDE_DIR ${moravane_cli11_root} CACHE PATH "CLI11 headers, linked from the host's")
endif()

# The SDK's <windows.h> defines min and max as macros unless told not to.
add_compile_definitions(NOMINMAX)

# Programs and DLLs side by side, so that a test finds moravane.dll the way a
# host does: in its own directory.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The 32-bit modules share the GCC runtime's DLLs (cmake/toolchains/
# mingw-i686.cmake says why); they go beside the programs and moravane.dll.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  foreach(dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll} OUTPUT_VARIABLE path
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
      message(FATAL_ERROR "${dll} of the 32-bit MinGW runtime not found (g++-mingw-w64-i686-posix)")
    endif()
    file(COPY ${path} DESTINATION ${CMAKE_BINARY_DIR}/bin)
    install(FILES ${path} DESTINATION bin COMPONENT runtime)
  endforeach()
endif()

# The programs run under Wine, so that ctest (and test discovery) work as on
# Linux: 64-bit ones under wine64, 32-bit ones under Debian's 32-bit loader
# (wine32), each in a prefix of its own width inside the build directory.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    find_program(MORAVANE_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  else()
    # /usr/lib/wine/wine is the 32-bit loader itself; /usr/bin/wine is a
    # wrapper that falls back to wine64 when wine32 is missing.
    find_program(MORAVANE_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  endif()
  if(MORAVANE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${MORAVANE_WINE}
                                      ${CMAKE_BINARY_DIR}/wineprefix)
  else()
    message(WARNING "Wine for this width not found (wine64, or wine32:i386): "
                    "the Windows tests are built but not registered with ctest")
  endif()
endif()
