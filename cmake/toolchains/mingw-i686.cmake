# Cross build for 32-bit Windows with MinGW-w64, the library's home target.
# The -posix compilers use the winpthreads thread model, which std::thread,
# std::mutex and C++20 atomic waits need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MORAVANE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
