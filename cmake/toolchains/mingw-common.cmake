# Shared part of the MinGW-w64 toolchains; MORAVANE_MINGW_TRIPLET names the
# target. Expects the Debian cross compilers (g++-mingw-w64-*-posix).
set(CMAKE_C_COMPILER ${MORAVANE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORAVANE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MORAVANE_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${MORAVANE_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${MORAVANE_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${MORAVANE_MINGW_TRIPLET}-objdump CACHE FILEPATH "")
set(MORAVANE_WIDL ${MORAVANE_MINGW_TRIPLET}-widl CACHE FILEPATH "IDL compiler for the target (mingw-w64-tools)")
set(MORAVANE_CXXFILT ${MORAVANE_MINGW_TRIPLET}-c++filt CACHE FILEPATH "Demangler of the target's C++ names")

set(CMAKE_FIND_ROOT_PATH /usr/${MORAVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every module carries its own copy of the GCC runtime and winpthreads, so
# moravane.dll and the test programs need nothing beside the system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
