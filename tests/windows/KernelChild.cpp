// The second process of the kernel-object tests. Exit codes tell the parent
// what it saw:
//   section NAME  - opens the section, expects "host" at its start, writes
//                   "child" at offset 16: 0, or 2 (no such section),
//                   3 (cannot map), 4 (unexpected content)
//   abandon NAME  - opens the mutex, takes it and exits holding it: 0, or
//                   2 (cannot open), 3 (wait failed)
#include <windows.h>

#include <cstring>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 1;
  if (std::wcscmp(argv[1], L"section") == 0) {
    HANDLE mapping = ::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, argv[2]);
    if (mapping == nullptr) return 2;
    char* view = static_cast<char*>(::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (view == nullptr) return 3;
    const bool expected = std::memcmp(view, "host", 5) == 0;
    if (expected) std::memcpy(view + 16, "child", 6);
    ::UnmapViewOfFile(view);
    ::CloseHandle(mapping);
    return expected ? 0 : 4;
  }
  if (std::wcscmp(argv[1], L"abandon") == 0) {
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, argv[2]);
    if (mutex == nullptr) return 2;
    if (::WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 3;
    return 0;  // still owned: the system abandons it
  }
  return 1;
}
