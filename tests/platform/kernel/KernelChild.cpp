// The other process of the cross-process kernel-object tests. Commands:
//   create-section NAME SIZE SEED [exit-holding]
//                                  create, fill with the pattern of SEED,
//                                  say "ready", hold until stdin ends, then
//                                  close (or, with exit-holding, just exit)
//   check-section NAME SIZE SEED   open, compare with the pattern; exit 0
//                                  when equal, 3 when not, 2 when the open
//                                  failed (after printing GetLastError)
//   hold-mutex NAME|--self-link    wait for the mutex, say "owned <result>",
//                                  release on the line "release", then say
//                                  "released" and hold until stdin ends
//   open-as-user UID ROOT NAME FILE
//                                  switch to UID, use namespace root ROOT,
//                                  print the error of OpenFileMappingW and
//                                  the errno of opening FILE directly
#include "module/Module.h"

#include <platformdebug.h>
#include <windows.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "PatternBytes.h"

namespace {

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

void Say(const std::string& line) { std::cout << line << std::endl; }

void WaitForEndOfInput() {
  std::string line;
  while (std::getline(std::cin, line)) {
  }
}

int CreateSection(const std::string& name, std::uint64_t size, unsigned seed, bool exitHolding) {
  HANDLE section = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                        static_cast<DWORD>(size), Widen(name).c_str());
  if (section == nullptr) return 2;
  void* view = ::MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == nullptr) return 2;
  FillPattern(static_cast<unsigned char*>(view), size, seed);
  Say("ready");
  WaitForEndOfInput();
  if (exitHolding) return 0;
  ::UnmapViewOfFile(view);
  ::CloseHandle(section);
  return 0;
}

int CheckSection(const std::string& name, std::uint64_t size, unsigned seed) {
  HANDLE section = ::OpenFileMappingW(FILE_MAP_READ, FALSE, Widen(name).c_str());
  if (section == nullptr) {
    Say(std::to_string(::GetLastError()));
    return 2;
  }
  void* view = ::MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
  const bool equal = view != nullptr && MatchesPattern(static_cast<const unsigned char*>(view), size, seed);
  if (view != nullptr) ::UnmapViewOfFile(view);
  ::CloseHandle(section);
  return equal ? 0 : 3;
}

int HoldMutex(const std::string& name) {
  HANDLE mutex =
      name == "--self-link" ? moravane::module::SelfLinkMutex() : ::CreateMutexW(nullptr, FALSE, Widen(name).c_str());
  if (mutex == nullptr) return 2;
  Say("owned " + std::to_string(::WaitForSingleObject(mutex, INFINITE)));
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "release") {
      Say(::ReleaseMutex(mutex) ? "released" : "not released");
      break;
    }
  }
  WaitForEndOfInput();
  return 0;
}

int OpenAsUser(uid_t uid, const std::string& root, const std::string& name, const std::string& file) {
  if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) return 2;
  platformdebug::SetKernelNamespaceRoot(root);
  HANDLE section = ::OpenFileMappingW(FILE_MAP_READ, FALSE, Widen(name).c_str());
  Say(std::to_string(section == nullptr ? ::GetLastError() : 0));
  if (section != nullptr) ::CloseHandle(section);
  const int fd = ::open(file.c_str(), O_RDONLY);
  Say(std::to_string(fd < 0 ? errno : 0));
  if (fd >= 0) ::close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "create-section" && (argc == 5 || argc == 6))
    return CreateSection(argv[2], std::stoull(argv[3]), std::stoul(argv[4]), argc == 6);
  if (command == "check-section" && argc == 5) return CheckSection(argv[2], std::stoull(argv[3]), std::stoul(argv[4]));
  if (command == "hold-mutex" && argc == 3) return HoldMutex(argv[2]);
  if (command == "open-as-user" && argc == 6) return OpenAsUser(std::stoul(argv[2]), argv[3], argv[4], argv[5]);
  std::fprintf(stderr, "usage: kernel_child create-section|check-section|hold-mutex|open-as-user ...\n");
  return 64;
}
