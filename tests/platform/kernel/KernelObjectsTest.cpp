// Names, sections, mutexes and the namespace folder of our platform layer
// within one process. (Class activation is the link tests' and rpc_tests'.)
#include "KernelTestSupport.h"

#include <comsupport/KernelHandle.h>

#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <tuple>

namespace {

using comsupport::UniqueHandle;
using comsupport::UniqueMappedView;

HANDLE CreateSection(const std::u16string& name, std::uint64_t size, DWORD protect = PAGE_READWRITE) {
  return ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, protect, static_cast<DWORD>(size >> 32),
                              static_cast<DWORD>(size), name.empty() ? nullptr : name.c_str());
}

unsigned char* Bytes(const UniqueMappedView& view) { return static_cast<unsigned char*>(view.Get()); }

void OnOtherThread(const std::function<void()>& body) { std::thread(body).join(); }

// Names become file names of the namespace folder: safe, distinct, and
// decoded back; only a leading Local\ or Global\ is a namespace.
TEST(KernelObjectNames, EncodeToDistinctSafeFileNamesAndBack) {
  const std::u16string names[] = {u"back\\slash/and%percent", u"..",          u"\u03a9 \U0001F600",
                                  u"lone \xD800\x01",         u"x\\Local\\s", u"s",
                                  std::u16string(255, u'x')};
  std::set<std::string> seen;
  for (const auto& name : names) {
    std::string fileName, prefixed;
    std::u16string decoded;
    ASSERT_TRUE(platformdebug::EncodeKernelObjectName(name.c_str(), &fileName));
    EXPECT_TRUE(fileName.size() <= 255 && fileName.find('/') == std::string::npos && fileName[0] != '.') << fileName;
    EXPECT_TRUE(std::all_of(fileName.begin(), fileName.end(), [](unsigned char c) { return c >= 0x20; })) << fileName;
    EXPECT_TRUE(seen.insert(fileName).second) << "two names share file " << fileName;
    ASSERT_TRUE(platformdebug::DecodeKernelObjectName(fileName, &decoded));
    EXPECT_EQ(name, decoded);
    EXPECT_TRUE(name.size() > 250 || (platformdebug::EncodeKernelObjectName((u"Global\\" + name).c_str(), &prefixed) &&
                                      fileName == prefixed));
  }
  std::string refused;
  for (const std::u16string& bad :
       {std::u16string(u"Local\\"), std::u16string(261, u'x'), std::u16string(100, u'\u6f22')})
    EXPECT_FALSE(platformdebug::EncodeKernelObjectName(bad.c_str(), &refused));
}

class KernelObjects : public KernelObjectTest {};

TEST_F(KernelObjects, BadSectionsAndViewsAreRefusedWithTheErrorOfTheirKind) {
  // (file, protection, size) -> the error; a refused section leaves no name behind.
  const std::tuple<HANDLE, DWORD, std::uint64_t, DWORD> sections[] = {
      {reinterpret_cast<HANDLE>(0x104), PAGE_READWRITE, 4096, ERROR_INVALID_HANDLE},
      {INVALID_HANDLE_VALUE, 0x40, 4096, ERROR_INVALID_PARAMETER},
      {INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, ERROR_INVALID_PARAMETER},
      {INVALID_HANDLE_VALUE, PAGE_READWRITE, 0x3FFFFFFF00000000ull, ERROR_NOT_ENOUGH_MEMORY}};
  for (const auto& [file, protect, size, error] : sections) {
    const auto name = UniqueName("bad");
    EXPECT_EQ(nullptr, ::CreateFileMappingW(file, nullptr, protect, static_cast<DWORD>(size >> 32),
                                            static_cast<DWORD>(size), name.c_str()));
    EXPECT_EQ(error, ::GetLastError());
    EXPECT_FALSE(ObjectFileExists(name));
  }
  constexpr std::uint64_t kSize = 3 * 65536 + 100;
  const auto name = UniqueName("views");
  UniqueHandle section(CreateSection(name, kSize)), readOnly(CreateSection(u"", 4096, PAGE_READONLY)),
      mutex(::CreateMutexW(nullptr, FALSE, nullptr));
  UniqueHandle reader(::OpenFileMappingW(FILE_MAP_READ, FALSE, (u"Local\\" + name).c_str()));
  UniqueMappedView whole(::MapViewOfFile(section.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  Bytes(whole)[65536] = 2;
  Bytes(whole)[kSize - 1] = 3;  // length 0 maps the whole section, to its last byte
  UniqueMappedView tail(::MapViewOfFile(section.Get(), FILE_MAP_READ, 0, 65536, 0));
  EXPECT_EQ(2, Bytes(tail)[0]);
  EXPECT_EQ(3, Bytes(tail)[kSize - 65536 - 1]);
  // A copy-on-write view through a handle that may only read: its writes
  // stay in it, and the section and its other views keep what they had.
  UniqueMappedView copy(::MapViewOfFile(reader.Get(), FILE_MAP_COPY, 0, 0, 0));
  ASSERT_TRUE(copy);
  EXPECT_EQ(2, Bytes(copy)[65536]);
  Bytes(copy)[65536] = 9;
  EXPECT_EQ(2, Bytes(tail)[0]);
  EXPECT_EQ(2, Bytes(whole)[65536]);
  // (handle, access, offset, length) -> the error
  const std::tuple<HANDLE, DWORD, DWORD, SIZE_T, DWORD> views[] = {
      {section.Get(), FILE_MAP_READ, 4096, 0, ERROR_MAPPED_ALIGNMENT},
      {section.Get(), FILE_MAP_READ, 4 * 65536, 0, ERROR_ACCESS_DENIED},
      {section.Get(), FILE_MAP_READ, 0, kSize + 1, ERROR_ACCESS_DENIED},
      {section.Get(), 0, 0, 0, ERROR_INVALID_PARAMETER},
      {readOnly.Get(), FILE_MAP_ALL_ACCESS, 0, 0, ERROR_ACCESS_DENIED},
      {reader.Get(), FILE_MAP_WRITE, 0, 0, ERROR_ACCESS_DENIED},
      {mutex.Get(), FILE_MAP_READ, 0, 0, ERROR_INVALID_HANDLE}};
  for (const auto& [handle, access, offset, length, error] : views) {
    EXPECT_EQ(nullptr, ::MapViewOfFile(handle, access, 0, offset, length));
    EXPECT_EQ(error, ::GetLastError());
  }
  EXPECT_FALSE(::UnmapViewOfFile(Bytes(whole) + 4096));
  EXPECT_EQ(ERROR_INVALID_ADDRESS, ::GetLastError());
  EXPECT_FALSE(::UnmapViewOfFile(nullptr));
}

TEST_F(KernelObjects, MutexIsRecursiveForItsOwnerAndAbandonedWhenItsThreadEnds) {
  for (const bool named : {false, true}) {
    const auto name = UniqueName("mutex");
    UniqueHandle mutex(::CreateMutexW(nullptr, TRUE, named ? name.c_str() : nullptr));
    ASSERT_TRUE(mutex);
    if (named) {
      // Another creation gives the same mutex and ignores its initial owner.
      UniqueHandle again(::CreateMutexW(nullptr, TRUE, (u"Global\\" + name).c_str()));
      EXPECT_EQ(ERROR_ALREADY_EXISTS, ::GetLastError());
      OnOtherThread([&] { EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(again.Get(), 30)); });
    }
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(mutex.Get(), INFINITE));
    EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
    OnOtherThread([&] {
      EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(mutex.Get(), 0)) << "one release of two let it go";
      EXPECT_FALSE(::ReleaseMutex(mutex.Get()));
      EXPECT_EQ(ERROR_NOT_OWNER, ::GetLastError());
    });
    EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
    EXPECT_FALSE(::ReleaseMutex(mutex.Get()));
    OnOtherThread([&] { EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(mutex.Get(), 0)); });
    EXPECT_EQ(WAIT_ABANDONED, ::WaitForSingleObject(mutex.Get(), 1000));
    EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
  }
}

// The namespace folder is the user's alone: made private, in the user's
// runtime folder when set (another user can take /dev/shm/moravane-<uid>
// first, never a folder inside ours); a squatted one is refused by name.
TEST_F(KernelObjects, NamespaceFolderIsPrivateAndASquattedOneIsRefused) {
  char pattern[] = "/tmp/moravane-ns-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(pattern));
  const std::string root = pattern, dir = root + "/moravane-" + std::to_string(::geteuid());
  const std::string runtime = std::getenv("XDG_RUNTIME_DIR") != nullptr ? std::getenv("XDG_RUNTIME_DIR") : "";
  enum Squat { kNone, kOpen, kLink, kFile, kOtherOwner };
  for (const Squat squat : {kNone, kOpen, kLink, kFile, kOtherOwner}) {
    if (squat == kOtherOwner && ::geteuid() != 0) continue;  // chown needs root
    std::filesystem::remove_all(dir);
    if (squat == kLink) ::mkdir((root + "/elsewhere").c_str(), 0700);
    if (squat == kLink) (void)!::symlink((root + "/elsewhere").c_str(), dir.c_str());
    if (squat == kFile) ::close(::open(dir.c_str(), O_CREAT | O_WRONLY, 0600));
    if (squat == kOpen || squat == kOtherOwner) ::mkdir(dir.c_str(), squat == kOpen ? 0755 : 0700);
    if (squat == kOtherOwner) (void)!::chown(dir.c_str(), 65534, 65534);
    ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    platformdebug::SetKernelNamespaceRoot("");
    ::testing::internal::CaptureStderr();
    HANDLE section = CreateSection(u"probe", 4096);
    const DWORD error = ::GetLastError();
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, u"probe");
    const std::string said = ::testing::internal::GetCapturedStderr();
    struct stat st;
    ASSERT_EQ(0, ::lstat(dir.c_str(), &st));
    if (squat == kNone) {
      EXPECT_EQ(ERROR_SUCCESS, error);
      ::CloseHandle(section);
      ::CloseHandle(mutex);
      EXPECT_EQ(dir, platformdebug::KernelNamespaceDirectory());
      EXPECT_TRUE(S_ISDIR(st.st_mode) && (st.st_mode & 0777) == 0700 && st.st_uid == ::geteuid());
      continue;
    }
    EXPECT_EQ(ERROR_ACCESS_DENIED, error) << squat;
    EXPECT_NE(std::string::npos, said.find("cannot use the shared-memory folder " + dir)) << said;
    EXPECT_NE(std::string::npos, said.find("(uid " + std::to_string(st.st_uid) + ")")) << said;
    EXPECT_EQ(nullptr, mutex);
    EXPECT_EQ("", platformdebug::KernelNamespaceDirectory());
  }
  runtime.empty() ? ::unsetenv("XDG_RUNTIME_DIR") : ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  platformdebug::SetKernelNamespaceRoot("");
  std::filesystem::remove_all(root);
}

}  // namespace
