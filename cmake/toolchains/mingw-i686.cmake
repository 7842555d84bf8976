# Cross build for 32-bit Windows with MinGW-w64, the library's home target.
# The -posix compilers use the winpthreads thread model, which std::thread,
# std::mutex and C++20 atomic waits need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MORAVANE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# 32-bit Windows code unwinds through DWARF tables that one copy of the
# unwinder must know for every module: with a static GCC runtime in each, an
# exception thrown in moravane.dll (a LinkError) and meant for the host's
# catch ends the host in std::terminate instead. So the GCC runtime is the
# shared libgcc_s_dw2-1.dll (which needs libwinpthread-1.dll), shipped beside
# moravane.dll (cmake/WindowsCross.cmake copies both); the C++ library stays
# static. 64-bit Windows unwinds through the system's own tables and keeps
# every module static.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -shared-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libstdc++ -shared-libgcc")
