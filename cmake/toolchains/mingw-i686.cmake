# Cross build for 32-bit Windows with MinGW-w64, the library's home target.
# The -posix compilers use the winpthreads thread model, which std::thread,
# std::mutex and C++20 atomic waits need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MORAVANE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# 32-bit MinGW unwinds with DWARF tables, which each copy of libgcc knows
# only for the module it is linked into: with libgcc linked statically, a
# LinkError thrown inside moravane.dll ends its host (std::terminate)
# instead of reaching the host's catch. As GCC documents, modules that throw
# to each other share one libgcc: here libgcc_s_dw2-1.dll, with the
# libwinpthread-1.dll that it needs, both shipped beside moravane.dll.
# libstdc++ stays static. (64-bit Windows unwinds through the system's
# tables, so the 64-bit build links everything statically.)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -shared-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libstdc++ -shared-libgcc")
