// The second process of the kernel-object tests (rpc_tests use it too).
// Commands and exit codes:
//   create-section NAME SIZE SEED [exit-holding]
//       create, fill with the pattern of SEED, say "ready", hold until
//       stdin ends, then close (or, with exit-holding, just return)
//   check-section NAME SIZE SEED   0 when the pattern matches, 3 when not,
//                                  2 when the section cannot be opened
//   try-mutex NAME MS              0 when taken (and released) within MS,
//                                  4 when it stayed held
//   abandon-mutex NAME             take it and end at once, still owning it
//   open-as-user UID ROOT NAME FILE
//       as UID with namespace root ROOT: print the error of opening the
//       section NAME and the errno of opening FILE directly
#include "KernelChild.h"

#include <windows.h>
#ifndef _WIN32
#include <platformdebug.h>

#include <fcntl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

int CreateSection(const std::string& name, std::uint64_t size, unsigned seed, bool exitHolding) {
  HANDLE section = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                        static_cast<DWORD>(size), AsWide(Wide(name)));
  void* view = section == nullptr ? nullptr : ::MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == nullptr) return 2;
  FillPattern(static_cast<unsigned char*>(view), size, seed);
  std::cout << "ready" << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
  }
  if (exitHolding) return 0;
  ::UnmapViewOfFile(view);
  ::CloseHandle(section);
  return 0;
}

int CheckSection(const std::string& name, std::uint64_t size, unsigned seed) {
  HANDLE section = ::OpenFileMappingW(FILE_MAP_READ, FALSE, AsWide(Wide(name)));
  if (section == nullptr) return 2;
  const void* view = ::MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
  const bool equal = view != nullptr && MatchesPattern(static_cast<const unsigned char*>(view), size, seed);
  ::UnmapViewOfFile(view);
  ::CloseHandle(section);
  return equal ? 0 : 3;
}

int TryMutex(const std::string& name, DWORD milliseconds) {
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, AsWide(Wide(name)));
  const DWORD result = ::WaitForSingleObject(mutex, milliseconds);
  if (result == WAIT_TIMEOUT) return 4;
  ::ReleaseMutex(mutex);
  return result == WAIT_OBJECT_0 ? 0 : 3;
}

int AbandonMutex(const std::string& name) {
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, AsWide(Wide(name)));
  if (::WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 3;
  std::_Exit(0);  // no clean-up of any kind, as when killed
}

#ifndef _WIN32
int OpenAsUser(uid_t uid, const std::string& root, const std::string& name, const std::string& file) {
  if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) return 2;
  platformdebug::SetKernelNamespaceRoot(root);
  HANDLE section = ::OpenFileMappingW(FILE_MAP_READ, FALSE, AsWide(Wide(name)));
  std::cout << (section == nullptr ? ::GetLastError() : 0) << std::endl;
  const int fd = ::open(file.c_str(), O_RDONLY);
  std::cout << (fd < 0 ? errno : 0) << std::endl;
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "create-section" && (argc == 5 || argc == 6))
    return CreateSection(argv[2], std::stoull(argv[3]), std::stoul(argv[4]), argc == 6);
  if (command == "check-section" && argc == 5) return CheckSection(argv[2], std::stoull(argv[3]), std::stoul(argv[4]));
  if (command == "try-mutex" && argc == 4) return TryMutex(argv[2], std::stoul(argv[3]));
  if (command == "abandon-mutex" && argc == 3) return AbandonMutex(argv[2]);
#ifndef _WIN32
  if (command == "open-as-user" && argc == 6) return OpenAsUser(std::stoul(argv[2]), argv[3], argv[4], argv[5]);
#endif
  std::cerr << "usage: kernel_child create-section|check-section|try-mutex|abandon-mutex|open-as-user ...\n";
  return 64;
}
