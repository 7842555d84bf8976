# Cross build for 64-bit Windows with MinGW-w64. Used to run the Windows
# tests under Wine, whose 64-bit loader is the one available here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MORAVANE_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
