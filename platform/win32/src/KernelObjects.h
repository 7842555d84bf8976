// Sections (file mappings) and mutexes with the semantics of Windows kernel
// objects, on POSIX: the handle table and the named-object files shared by
// KernelObjects.cpp (CloseHandle, the table, the names), FileMappings.cpp
// and Mutexes.cpp.
//
// Handles are entries of a process-wide table, so a bad, stale or closed
// handle is recognised and answered with ERROR_INVALID_HANDLE, never
// dereferenced. Each Create/Open produces its own open file and handle.
//
// A named object is a file in the per-user namespace directory (see
// KernelNames.h). Its first page is a header (magic, kind, section size);
// a section's bytes follow it, a mutex's robust process-shared pthread mutex
// lives in it. Lifetime follows the Windows rule that a name exists while
// any process holds a handle to it:
// - every open handle holds a shared flock on its own open file;
// - a new object is built in an anonymous file (already locked) and linked
//   under its name only when complete, so nobody sees a half-made object and
//   two creators race cleanly (the loser opens the winner's object);
// - closing a handle asks for the exclusive lock; whoever gets it was the
//   last holder anywhere and unlinks the name;
// - the kernel drops the locks of a process that dies, so an object whose
//   holders all crashed is found unlocked and unlinked when its name is next
//   created or opened, and by a sweep of the directory at the first use of
//   the namespace in each process.
#pragma once

#include "KernelNames.h"

#include <comsupport/FileDescriptor.h>

#include <platformdebug.h>
#include <windows.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <unordered_map>

namespace kernelobjects {

using kernelnames::Directory;

constexpr std::uint32_t kMagic = 0x4D4B4F31;
constexpr std::uint64_t kAllocationGranularity = 65536;  // view offsets are multiples of it, as on Windows

enum class Kind : std::uint32_t { Section = 1, Mutex = 2 };

struct ObjectHeader {
  std::uint32_t magic;
  Kind kind;
  std::uint32_t protect;
  std::uint32_t reserved;
  std::uint64_t sectionSize;
};

struct MutexPage {
  ObjectHeader header;
  pthread_mutex_t mutex;
  // Kept beside the pthread mutex's own count so that a release by a thread
  // that does not own the mutex is refused without asking pthread to unlock
  // a mutex it does not hold. Written only by the owner while it holds the
  // mutex; read by anyone.
  std::int32_t ownerThread;
  std::uint32_t depth;
};

std::size_t PageSize();

DWORD Win32FromErrno(int error);

// The open file of one handle. For a named object it holds the shared lock
// that keeps the name alive, and gives the name up if it is the last holder.
class ObjectFile {
 public:
  ObjectFile(int fd, std::shared_ptr<Directory> dir, std::string fileName)
      : m_fd(fd), m_dir(std::move(dir)), m_fileName(std::move(fileName)) {}
  ~ObjectFile() {
    if (m_fd) GiveUpName();
  }

  // Drops this holder's claim on the name and unlinks it if no other holder
  // is left anywhere. Converting the shared lock drops it first; if another
  // holder exists the request fails and that holder's own close will find
  // itself last. The open file itself stays usable.
  void GiveUpName() {
    if (!m_dir) return;
    if (::flock(m_fd.Get(), LOCK_EX | LOCK_NB) == 0) kernelnames::UnlinkIfSame(*m_dir, m_fileName, m_fd.Get());
    m_dir.reset();
  }
  ObjectFile(const ObjectFile&) = delete;
  ObjectFile& operator=(const ObjectFile&) = delete;

  int Fd() const { return m_fd.Get(); }

 private:
  comsupport::UniqueFd m_fd;         // closed after the name is given up
  std::shared_ptr<Directory> m_dir;  // null for an unnamed object
  std::string m_fileName;
};

class KernelObject {
 public:
  explicit KernelObject(Kind kind) : m_kind(kind) {}
  virtual ~KernelObject() = default;
  Kind GetKind() const { return m_kind; }
  // At process exit: handles that are never closed (the self-link mutex's,
  // for one) must not leave their names behind, as Windows closes them.
  virtual void GiveUpNameAtExit() = 0;

 private:
  Kind m_kind;
};

class Section : public KernelObject {
 public:
  Section(std::unique_ptr<ObjectFile> file, std::uint64_t size, DWORD protect)
      : KernelObject(Kind::Section), m_file(std::move(file)), m_size(size), m_protect(protect) {}
  int Fd() const { return m_file->Fd(); }
  std::uint64_t Size() const { return m_size; }
  DWORD Protect() const { return m_protect; }
  void GiveUpNameAtExit() override { m_file->GiveUpName(); }

 private:
  std::unique_ptr<ObjectFile> m_file;
  std::uint64_t m_size;
  DWORD m_protect;
};

std::int32_t CurrentThread();

class Mutex : public KernelObject {
 public:
  Mutex(std::unique_ptr<ObjectFile> file, MutexPage* page)
      : KernelObject(Kind::Mutex), m_file(std::move(file)), m_page(page) {}
  ~Mutex() override {
    // A thread of this process may still own the mutex through this mapping;
    // its robust-list entry points into the page, which must then stay
    // mapped until the process ends (one page, only in that rare case).
    if (m_ownedHere.load() == 0) ::munmap(m_page, PageSize());
  }
  pthread_mutex_t* Get() { return &m_page->mutex; }
  void GiveUpNameAtExit() override {
    if (m_file) m_file->GiveUpName();
  }

  // After a successful lock (`abandoned`: the previous owner died holding
  // it, and the pthread count restarted at one).
  void Acquired(bool abandoned) {
    if (abandoned) m_page->depth = 0;
    ++m_page->depth;
    std::atomic_ref<std::int32_t>(m_page->ownerThread).store(CurrentThread());
    m_ownedHere.fetch_add(1);
  }

  bool OwnedByCaller() { return std::atomic_ref<std::int32_t>(m_page->ownerThread).load() == CurrentThread(); }

  // Gives up one level of ownership; the caller must own the mutex.
  bool Release() {
    if (--m_page->depth == 0) std::atomic_ref<std::int32_t>(m_page->ownerThread).store(0);
    if (::pthread_mutex_unlock(&m_page->mutex) != 0) return false;
    m_ownedHere.fetch_sub(1);
    return true;
  }

 private:
  std::unique_ptr<ObjectFile> m_file;  // null for an unnamed mutex
  MutexPage* m_page;
  std::atomic<int> m_ownedHere{0};
};

struct HandleEntry {
  std::shared_ptr<KernelObject> object;
  DWORD access = 0;  // FILE_MAP_* rights of a section handle
};

struct Kernel {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, HandleEntry> handles;
  std::uintptr_t nextHandle = 0x104;                      // multiples of 4, never null or INVALID_HANDLE_VALUE
  std::unordered_map<std::uintptr_t, std::size_t> views;  // base address -> length
  std::atomic<int> failingMappingCreations{0};
  std::atomic<int> failingMapViews{0};
  // Locks belong to open files, which a forked child shares with its
  // parent: only the process that opened them may give up their names.
  pid_t owner = ::getpid();
};

Kernel& TheKernel();

// A process that ends normally gives up the names of the handles it still
// holds; the handles stay valid for whatever runs after. A process that
// crashes leaves its names to be reclaimed at their next use.
void GiveUpNamesAtExit();

bool TakeInjectedFailure(std::atomic<int>& counter);

HANDLE InsertHandle(std::shared_ptr<KernelObject> object, DWORD access);

bool LookupHandle(HANDLE handle, HandleEntry& entry);

HANDLE Fail(DWORD error);

// --- Named objects ------------------------------------------------------------

enum class Lookup { Opened, NotFound, Failed };

// Opens the object named `fileName` with a shared lock held. An object that
// no live process holds is abandoned: it is unlinked and reported missing.
Lookup OpenExisting(const std::shared_ptr<Directory>& dir, const std::string& fileName,
                    std::unique_ptr<ObjectFile>& file, ObjectHeader& header, DWORD& error);

// A new object file that nobody can see yet, with our shared lock on it.
struct Unpublished {
  comsupport::UniqueFd fd;
  std::string tempName;  // set when the system has no anonymous files in the directory

  // The temporary name goes before the descriptor is closed.
  ~Unpublished() {
    if (fd && !tempName.empty()) ::unlink(tempName.c_str());
  }
};

DWORD MakeUnpublished(const Directory& dir, Unpublished& out);

enum class Publish { Published, Retry, Failed };

Publish PublishAs(const std::shared_ptr<Directory>& dir, const std::string& fileName, Unpublished& object,
                  std::unique_ptr<ObjectFile>& file, DWORD& error);

DWORD Reserve(int fd, std::uint64_t bytes);

DWORD InitSectionFile(int fd, std::uint64_t size, DWORD protect);

DWORD SectionRights(DWORD protect);

// --- Mutex pages ----------------------------------------------------------------

// Maps the first page of `fd`, or an anonymous shared page when fd < 0.
MutexPage* MapMutexPage(int fd);

bool InitMutexPage(MutexPage* page);

std::shared_ptr<Directory> NamespaceFor(const char16_t* name, std::string& fileName, DWORD& error);

bool IsNamed(LPCWSTR name);

// The create-or-open of a named section or mutex. An object already
// published under the name is opened, and `open` makes its handle
// (ERROR_ALREADY_EXISTS). Otherwise `fill` prepares a new file that nobody
// sees yet and returns its error; the file is published under the name and
// `created` makes the handle. When another process publishes the name
// first, `undo` takes back what `fill` did and the other process's object
// is opened instead.
template <class Open, class Fill, class Undo, class Created>
HANDLE CreateOrOpenNamed(LPCWSTR name, Kind kind, Open open, Fill fill, Undo undo, Created created) {
  std::string fileName;
  DWORD error = ERROR_SUCCESS;
  auto dir = NamespaceFor(name, fileName, error);
  if (!dir) return Fail(error);
  for (;;) {
    std::unique_ptr<ObjectFile> objectFile;
    ObjectHeader header{};
    switch (OpenExisting(dir, fileName, objectFile, header, error)) {
      case Lookup::Failed:
        return Fail(error);
      case Lookup::Opened: {
        if (header.kind != kind) return Fail(ERROR_INVALID_HANDLE);
        HANDLE handle = open(std::move(objectFile), header);
        if (handle != nullptr) ::SetLastError(ERROR_ALREADY_EXISTS);
        return handle;
      }
      case Lookup::NotFound:
        break;
    }
    Unpublished fresh;
    if ((error = MakeUnpublished(*dir, fresh)) != ERROR_SUCCESS) return Fail(error);
    if ((error = fill(fresh.fd.Get())) != ERROR_SUCCESS) return Fail(error);
    const Publish outcome = PublishAs(dir, fileName, fresh, objectFile, error);
    if (outcome != Publish::Published) {
      undo();
      if (outcome == Publish::Retry) continue;
      return Fail(error);
    }
    HANDLE handle = created(std::move(objectFile));
    if (handle != nullptr) ::SetLastError(ERROR_SUCCESS);
    return handle;
  }
}

}  // namespace kernelobjects
