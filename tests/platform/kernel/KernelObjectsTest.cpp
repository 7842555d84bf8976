// Sections, mutexes, names and handles within one process.
#include "KernelTestSupport.h"

#include <comsupport/KernelHandle.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

namespace {

using comsupport::UniqueHandle;
using comsupport::UniqueMappedView;

HANDLE CreateSection(const std::u16string& name, std::uint64_t size, DWORD protect = PAGE_READWRITE) {
  return ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, protect, static_cast<DWORD>(size >> 32),
                              static_cast<DWORD>(size), name.empty() ? nullptr : name.c_str());
}

// --- Names ----------------------------------------------------------------------

TEST(KernelObjectNames, EncodeToSafeFileNamesAndBack) {
  const std::u16string names[] = {
      u"plain",
      u"Moravane SelfLink Mutex",
      u"back\\slash\\es",
      u"slash/and%percent",
      u".leading-dot",
      u"..",
      u"\u03a9 \u6f22\u5b57 \U0001F600",  // Greek, CJK and a pair of surrogates
      std::u16string(u"lone ") + char16_t(0xD800) + u" surrogate",
      u"control\x01\x1f",
      std::u16string(255, u'x'),  // the longest file name
  };
  std::set<std::string> seen;
  for (const auto& name : names) {
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    std::string fileName;
    ASSERT_TRUE(platformdebug::EncodeKernelObjectName(name.c_str(), &fileName));
    EXPECT_FALSE(fileName.empty());
    EXPECT_LE(fileName.size(), 255u);
    EXPECT_EQ(std::string::npos, fileName.find('/'));
    EXPECT_NE('.', fileName[0]);
    for (unsigned char c : fileName) EXPECT_GE(c, 0x20);
    EXPECT_TRUE(seen.insert(fileName).second) << "two names share file " << fileName;
    std::u16string decoded;
    ASSERT_TRUE(platformdebug::DecodeKernelObjectName(fileName, &decoded));
    EXPECT_EQ(name, decoded);
  }
}

TEST(KernelObjectNames, LocalAndGlobalPrefixesNameTheSameObject) {
  std::string plain, local, global;
  ASSERT_TRUE(platformdebug::EncodeKernelObjectName(u"shared-name", &plain));
  ASSERT_TRUE(platformdebug::EncodeKernelObjectName(u"Local\\shared-name", &local));
  ASSERT_TRUE(platformdebug::EncodeKernelObjectName(u"Global\\shared-name", &global));
  EXPECT_EQ(plain, local);
  EXPECT_EQ(plain, global);
  // Only the leading prefix is a namespace; elsewhere it is part of the name.
  std::string inner;
  ASSERT_TRUE(platformdebug::EncodeKernelObjectName(u"x\\Local\\shared-name", &inner));
  EXPECT_NE(plain, inner);
}

TEST(KernelObjectNames, RejectedNamesAndFileNames) {
  std::string fileName;
  EXPECT_FALSE(platformdebug::EncodeKernelObjectName(u"Local\\", &fileName));
  EXPECT_FALSE(platformdebug::EncodeKernelObjectName(std::u16string(261, u'x').c_str(), &fileName));
  EXPECT_FALSE(platformdebug::EncodeKernelObjectName(std::u16string(100, u'\u6f22').c_str(), &fileName));  // 300 bytes
  std::u16string name;
  for (const char* bad : {"", ".x", "a/b", "%", "%4", "%GG", "%u12", "%uZZZZ", "%C3"}) {
    EXPECT_FALSE(platformdebug::DecodeKernelObjectName(bad, &name)) << bad;
  }
}

// --- Handles --------------------------------------------------------------------

class KernelHandles : public KernelObjectTest {};

TEST_F(KernelHandles, BadHandlesAreRefusedWithInvalidHandle) {
  HANDLE closed = ::CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_NE(nullptr, closed);
  ASSERT_TRUE(::CloseHandle(closed));
  const HANDLE bad[] = {nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x12345), closed};
  for (HANDLE handle : bad) {
    SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(handle));
    ::SetLastError(0);
    EXPECT_FALSE(::CloseHandle(handle));
    EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
    ::SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, ::WaitForSingleObject(handle, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
    ::SetLastError(0);
    EXPECT_FALSE(::ReleaseMutex(handle));
    EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
    ::SetLastError(0);
    EXPECT_EQ(nullptr, ::MapViewOfFile(handle, FILE_MAP_READ, 0, 0, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
  }
}

TEST_F(KernelHandles, EachKindRefusesTheOperationsOfTheOther) {
  UniqueHandle section(CreateSection(u"", 4096));
  UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, nullptr));
  ASSERT_TRUE(section && mutex);
  EXPECT_EQ(WAIT_FAILED, ::WaitForSingleObject(section.Get(), 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
  EXPECT_FALSE(::ReleaseMutex(section.Get()));
  EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
  EXPECT_EQ(nullptr, ::MapViewOfFile(mutex.Get(), FILE_MAP_READ, 0, 0, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
}

TEST_F(KernelHandles, ANameBelongsToOneKindOfObject) {
  const auto name = UniqueName("kind");
  UniqueHandle section(CreateSection(name, 4096));
  ASSERT_TRUE(section);
  EXPECT_EQ(nullptr, ::CreateMutexW(nullptr, FALSE, name.c_str()));
  EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
  const auto mutexName = UniqueName("kind");
  UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, mutexName.c_str()));
  ASSERT_TRUE(mutex);
  EXPECT_EQ(nullptr, CreateSection(mutexName, 4096));
  EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
  EXPECT_EQ(nullptr, ::OpenFileMappingW(FILE_MAP_READ, FALSE, mutexName.c_str()));
  EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
}

// --- Sections -------------------------------------------------------------------

class Sections : public KernelObjectTest {};

TEST_F(Sections, ExistingNameGivesTheSameSectionAndSaysSo) {
  const auto name = UniqueName("exists");
  ::SetLastError(ERROR_INVALID_PARAMETER);
  UniqueHandle first(CreateSection(name, 8192));
  ASSERT_TRUE(first);
  EXPECT_EQ(ERROR_SUCCESS, ::GetLastError());
  // The size of a later creation is ignored: the existing section is used.
  UniqueHandle second(CreateSection(name, 100));
  ASSERT_TRUE(second);
  EXPECT_EQ(ERROR_ALREADY_EXISTS, ::GetLastError());
  UniqueHandle opened(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, (u"Local\\" + name).c_str()));
  ASSERT_TRUE(opened);

  UniqueMappedView a(::MapViewOfFile(first.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  UniqueMappedView b(::MapViewOfFile(second.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  UniqueMappedView c(::MapViewOfFile(opened.Get(), FILE_MAP_READ, 0, 0, 0));
  ASSERT_TRUE(a && b && c);
  EXPECT_NE(a.Get(), b.Get());
  static_cast<unsigned char*>(a.Get())[8191] = 0x5A;
  EXPECT_EQ(0x5A, static_cast<unsigned char*>(b.Get())[8191]);
  EXPECT_EQ(0x5A, static_cast<const unsigned char*>(c.Get())[8191]);
}

TEST_F(Sections, InvalidCreationArguments) {
  struct Case {
    const char* what;
    HANDLE file;
    DWORD protect;
    std::uint64_t size;
    bool named;
    DWORD error;
  } cases[] = {
      {"a file handle", reinterpret_cast<HANDLE>(0x104), PAGE_READWRITE, 4096, false, ERROR_INVALID_HANDLE},
      {"unknown protection", INVALID_HANDLE_VALUE, 0x40, 4096, false, ERROR_INVALID_PARAMETER},
      {"unnamed, size 0", INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, false, ERROR_INVALID_PARAMETER},
      {"new name, size 0", INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, true, ERROR_INVALID_PARAMETER},
      {"more than memory", INVALID_HANDLE_VALUE, PAGE_READWRITE, 0x3FFFFFFF00000000ull, true, ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto name = UniqueName("bad");
    EXPECT_EQ(nullptr, ::CreateFileMappingW(c.file, nullptr, c.protect, static_cast<DWORD>(c.size >> 32),
                                            static_cast<DWORD>(c.size), c.named ? name.c_str() : nullptr));
    EXPECT_EQ(c.error, ::GetLastError());
    EXPECT_FALSE(ObjectFileExists(name));
  }
}

TEST_F(Sections, ViewsCoverTheRangeAskedFor) {
  constexpr std::uint64_t kSize = 3 * 65536 + 100;
  UniqueHandle section(CreateSection(u"", kSize));
  ASSERT_TRUE(section);
  UniqueMappedView whole(::MapViewOfFile(section.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_TRUE(whole);
  auto* bytes = static_cast<unsigned char*>(whole.Get());
  bytes[0] = 1;
  bytes[65536] = 2;
  bytes[kSize - 1] = 3;  // length 0 maps the whole section, to its last byte

  UniqueMappedView tail(::MapViewOfFile(section.Get(), FILE_MAP_READ, 0, 65536, 0));
  ASSERT_TRUE(tail);
  EXPECT_EQ(2, static_cast<const unsigned char*>(tail.Get())[0]);
  EXPECT_EQ(3, static_cast<const unsigned char*>(tail.Get())[kSize - 65536 - 1]);

  struct Case {
    const char* what;
    DWORD access;
    DWORD offset;
    SIZE_T length;
    DWORD error;
  } cases[] = {
      {"unaligned offset", FILE_MAP_READ, 4096, 0, ERROR_MAPPED_ALIGNMENT},
      {"offset past the end", FILE_MAP_READ, 4 * 65536, 0, ERROR_ACCESS_DENIED},
      {"length past the end", FILE_MAP_READ, 0, kSize + 1, ERROR_ACCESS_DENIED},
      {"no access", 0, 0, 0, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(nullptr, ::MapViewOfFile(section.Get(), c.access, 0, c.offset, c.length));
    EXPECT_EQ(c.error, ::GetLastError());
  }
}

TEST_F(Sections, ReadOnlyAccessCannotMapForWriting) {
  const auto name = UniqueName("ro");
  UniqueHandle section(CreateSection(name, 4096));
  UniqueHandle reader(::OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
  ASSERT_TRUE(section && reader);
  EXPECT_EQ(nullptr, ::MapViewOfFile(reader.Get(), FILE_MAP_WRITE, 0, 0, 0));
  EXPECT_EQ(ERROR_ACCESS_DENIED, ::GetLastError());
  UniqueMappedView view(::MapViewOfFile(reader.Get(), FILE_MAP_READ, 0, 0, 0));
  EXPECT_TRUE(view);

  const auto readOnlyName = UniqueName("ro");
  UniqueHandle readOnly(CreateSection(readOnlyName, 4096, PAGE_READONLY));
  ASSERT_TRUE(readOnly);
  EXPECT_EQ(nullptr, ::MapViewOfFile(readOnly.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  EXPECT_EQ(ERROR_ACCESS_DENIED, ::GetLastError());
  EXPECT_EQ(nullptr, ::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, readOnlyName.c_str()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, ::GetLastError());
}

TEST_F(Sections, UnmapOnlyWhatIsMapped) {
  UniqueHandle section(CreateSection(u"", 8192));
  void* view = ::MapViewOfFile(section.Get(), FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(nullptr, view);
  EXPECT_FALSE(::UnmapViewOfFile(static_cast<char*>(view) + 4096));
  EXPECT_EQ(ERROR_INVALID_ADDRESS, ::GetLastError());
  EXPECT_TRUE(::UnmapViewOfFile(view));
  EXPECT_FALSE(::UnmapViewOfFile(view));
  EXPECT_EQ(ERROR_INVALID_ADDRESS, ::GetLastError());
  EXPECT_FALSE(::UnmapViewOfFile(nullptr));
}

TEST_F(Sections, ConcurrentCreatorsShareOneSection) {
  // Threads race to create the same name: exactly one creates, the others
  // get the existing section, and all see the same bytes.
  for (int round = 0; round < 10; ++round) {
    const auto name = UniqueName("race");
    constexpr int kThreads = 4;
    HANDLE handles[kThreads] = {};
    DWORD errors[kThreads] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&, i] {
        handles[i] = CreateSection(name, 4096);
        errors[i] = ::GetLastError();
      });
    for (auto& thread : threads) thread.join();
    int created = 0;
    for (int i = 0; i < kThreads; ++i) {
      ASSERT_NE(nullptr, handles[i]);
      if (errors[i] == ERROR_SUCCESS)
        ++created;
      else
        EXPECT_EQ(ERROR_ALREADY_EXISTS, errors[i]);
    }
    EXPECT_EQ(1, created);
    UniqueMappedView first(::MapViewOfFile(handles[0], FILE_MAP_ALL_ACCESS, 0, 0, 0));
    static_cast<unsigned char*>(first.Get())[0] = static_cast<unsigned char>(round + 1);
    for (int i = 1; i < kThreads; ++i) {
      UniqueMappedView other(::MapViewOfFile(handles[i], FILE_MAP_READ, 0, 0, 0));
      EXPECT_EQ(round + 1, static_cast<const unsigned char*>(other.Get())[0]);
    }
    for (HANDLE handle : handles) ::CloseHandle(handle);
    EXPECT_FALSE(ObjectFileExists(name));
  }
}

// --- Mutexes --------------------------------------------------------------------

class Mutexes : public KernelObjectTest {};

// Runs `body` on another thread and waits for it.
template <class Body>
void OnOtherThread(Body body) {
  std::thread(body).join();
}

TEST_F(Mutexes, OwnerMayWaitAgainAndMustReleaseAsOften) {
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    const auto name = UniqueName("recursive");
    UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, named ? name.c_str() : nullptr));
    ASSERT_TRUE(mutex);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(mutex.Get(), 0));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(mutex.Get(), INFINITE));
    EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
    OnOtherThread([&] { EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(mutex.Get(), 0)); });
    EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
    EXPECT_FALSE(::ReleaseMutex(mutex.Get()));
    EXPECT_EQ(ERROR_NOT_OWNER, ::GetLastError());
    OnOtherThread([&] {
      EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(mutex.Get(), 0));
      EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
    });
  }
}

TEST_F(Mutexes, InitialOwnerHoldsItAndOthersTimeOut) {
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    const auto name = UniqueName("initial");
    UniqueHandle mutex(::CreateMutexW(nullptr, TRUE, named ? name.c_str() : nullptr));
    ASSERT_TRUE(mutex);
    OnOtherThread([&] {
      EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(mutex.Get(), 0));
      EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(mutex.Get(), 30));
      EXPECT_FALSE(::ReleaseMutex(mutex.Get()));
      EXPECT_EQ(ERROR_NOT_OWNER, ::GetLastError());
    });
    EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
  }
}

TEST_F(Mutexes, ExistingNameIsTheSameMutexAndInitialOwnershipIsIgnored) {
  const auto name = UniqueName("existing");
  ::SetLastError(ERROR_INVALID_PARAMETER);
  UniqueHandle first(::CreateMutexW(nullptr, FALSE, name.c_str()));
  ASSERT_TRUE(first);
  EXPECT_EQ(ERROR_SUCCESS, ::GetLastError());
  UniqueHandle second(::CreateMutexW(nullptr, TRUE, (u"Global\\" + name).c_str()));
  ASSERT_TRUE(second);
  EXPECT_EQ(ERROR_ALREADY_EXISTS, ::GetLastError());
  std::promise<void> held, done;
  std::thread owner([&] {
    // The second creation did not make the main thread an owner.
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(first.Get(), 0));
    held.set_value();
    done.get_future().wait();
    EXPECT_TRUE(::ReleaseMutex(first.Get()));
  });
  held.get_future().wait();
  EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(second.Get(), 0)) << "both handles are one mutex";
  done.set_value();
  owner.join();
  EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(second.Get(), 0));
  EXPECT_TRUE(::ReleaseMutex(second.Get()));
}

TEST_F(Mutexes, ThreadEndingWhileOwningAbandonsIt) {
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, named ? UniqueName("abandon").c_str() : nullptr));
    ASSERT_TRUE(mutex);
    OnOtherThread([&] {
      EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(mutex.Get(), 0));
      EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(mutex.Get(), 0));
    });
    EXPECT_EQ(WAIT_ABANDONED, ::WaitForSingleObject(mutex.Get(), 1000));
    // Owned once, whatever depth the dead owner had reached.
    EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
    EXPECT_FALSE(::ReleaseMutex(mutex.Get()));
    OnOtherThread([&] {
      EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(mutex.Get(), 0));
      EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
    });
  }
}

// --- The per-user namespace -----------------------------------------------------

class KernelNamespace : public KernelObjectTest {
 protected:
  void SetUp() override {
    KernelObjectTest::SetUp();
    char pattern[] = "/tmp/moravane-ns-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    m_root = pattern;
    m_userDir = m_root + "/moravane-" + std::to_string(::geteuid());
  }
  void TearDown() override {
    platformdebug::SetKernelNamespaceRoot("");
    std::filesystem::remove_all(m_root);
    KernelObjectTest::TearDown();
  }
  // Whether a named object can be made with the namespace at m_root.
  DWORD CreateUnderRoot() {
    platformdebug::SetKernelNamespaceRoot(m_root);
    HANDLE section = CreateSection(u"probe", 4096);
    const DWORD error = ::GetLastError();
    if (section != nullptr) ::CloseHandle(section);
    return error;
  }
  std::string m_root;
  std::string m_userDir;
};

TEST_F(KernelNamespace, DirectoryIsCreatedPrivate) {
  EXPECT_EQ(ERROR_SUCCESS, CreateUnderRoot());
  struct stat st;
  ASSERT_EQ(0, ::lstat(m_userDir.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  EXPECT_EQ(::geteuid(), st.st_uid);
  EXPECT_EQ(m_userDir, platformdebug::KernelNamespaceDirectory());
}

TEST_F(KernelNamespace, TheUsersRuntimeFolderIsTheRootWhenSet) {
  // Another user can take /dev/shm/moravane-<uid> first, never a folder
  // inside our runtime folder.
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved != nullptr ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", m_root.c_str(), 1);
  platformdebug::SetKernelNamespaceRoot("");
  HANDLE section = CreateSection(u"probe", 4096);
  EXPECT_NE(nullptr, section);
  EXPECT_EQ(m_userDir, platformdebug::KernelNamespaceDirectory());
  if (section != nullptr) ::CloseHandle(section);
  if (saved != nullptr) {
    ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

TEST_F(KernelNamespace, SquattedDirectoriesAreRefused) {
  struct Case {
    const char* what;
    void (*plant)(const std::string& dir, const std::string& root);
    bool needsRoot;
  } cases[] = {
      {"readable by others", [](const std::string& d, const std::string&) { ::mkdir(d.c_str(), 0755); }, false},
      {"a symbolic link",
       [](const std::string& d, const std::string& r) {
         ::mkdir((r + "/elsewhere").c_str(), 0700);
         (void)!::symlink((r + "/elsewhere").c_str(), d.c_str());
       },
       false},
      {"a plain file",
       [](const std::string& d, const std::string&) { ::close(::open(d.c_str(), O_CREAT | O_WRONLY, 0600)); }, false},
      {"owned by another user",
       [](const std::string& d, const std::string&) {
         ::mkdir(d.c_str(), 0700);
         (void)!::chown(d.c_str(), 65534, 65534);
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && ::geteuid() != 0) continue;
    std::filesystem::remove_all(m_userDir);
    std::filesystem::remove_all(m_root + "/elsewhere");
    c.plant(m_userDir, m_root);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ERROR_ACCESS_DENIED, CreateUnderRoot());
    // The refusal names the folder and, when there is one, its owner.
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, said.find("cannot use the shared-memory folder " + m_userDir)) << said;
    struct stat st;
    if (::lstat(m_userDir.c_str(), &st) == 0) {
      EXPECT_NE(std::string::npos, said.find("(uid " + std::to_string(st.st_uid) + ")")) << said;
    }
    EXPECT_EQ(nullptr, ::CreateMutexW(nullptr, FALSE, u"probe"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, ::GetLastError());
    EXPECT_EQ("", platformdebug::KernelNamespaceDirectory());
  }
}

}  // namespace
