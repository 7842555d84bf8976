// Sections (file mappings) and mutexes with the semantics of Windows kernel
// objects, on POSIX.
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
#include "KernelNames.h"

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

namespace {

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

std::size_t PageSize() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

DWORD Win32FromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case ENOSPC:
    case EFBIG:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// The open file of one handle. For a named object it holds the shared lock
// that keeps the name alive, and gives the name up if it is the last holder.
class ObjectFile {
 public:
  ObjectFile(int fd, std::shared_ptr<Directory> dir, std::string fileName)
      : m_fd(fd), m_dir(std::move(dir)), m_fileName(std::move(fileName)) {}
  ~ObjectFile() {
    if (m_fd < 0) return;
    GiveUpName();
    ::close(m_fd);
  }

  // Drops this holder's claim on the name and unlinks it if no other holder
  // is left anywhere. Converting the shared lock drops it first; if another
  // holder exists the request fails and that holder's own close will find
  // itself last. The open file itself stays usable.
  void GiveUpName() {
    if (!m_dir) return;
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) kernelnames::UnlinkIfSame(*m_dir, m_fileName, m_fd);
    m_dir.reset();
  }
  ObjectFile(const ObjectFile&) = delete;
  ObjectFile& operator=(const ObjectFile&) = delete;

  int Fd() const { return m_fd; }

 private:
  int m_fd;
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

std::int32_t CurrentThread() { return static_cast<std::int32_t>(::GetCurrentThreadId()); }

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

void GiveUpNamesAtExit();

Kernel& TheKernel() {
  // Never destroyed: static objects of other translation units may close
  // handles while the process exits. The exit handler is registered with
  // the table, so it runs after the destructors of statics made later.
  static Kernel* kernel = [] {
    auto* made = new Kernel;
    std::atexit(GiveUpNamesAtExit);
    return made;
  }();
  return *kernel;
}

// A process that ends normally gives up the names of the handles it still
// holds; the handles stay valid for whatever runs after. A process that
// crashes leaves its names to be reclaimed at their next use.
void GiveUpNamesAtExit() {
  Kernel& kernel = TheKernel();
  if (::getpid() != kernel.owner) return;
  std::lock_guard<std::mutex> guard(kernel.lock);
  for (auto& [value, entry] : kernel.handles) entry.object->GiveUpNameAtExit();
}

bool TakeInjectedFailure(std::atomic<int>& counter) {
  int current = counter.load();
  while (current > 0)
    if (counter.compare_exchange_weak(current, current - 1)) return true;
  return false;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object, DWORD access) {
  Kernel& kernel = TheKernel();
  std::lock_guard<std::mutex> guard(kernel.lock);
  const std::uintptr_t value = kernel.nextHandle;
  kernel.nextHandle += 4;
  kernel.handles.emplace(value, HandleEntry{std::move(object), access});
  return reinterpret_cast<HANDLE>(value);
}

bool LookupHandle(HANDLE handle, HandleEntry& entry) {
  Kernel& kernel = TheKernel();
  std::lock_guard<std::mutex> guard(kernel.lock);
  auto found = kernel.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == kernel.handles.end()) return false;
  entry = found->second;
  return true;
}

HANDLE Fail(DWORD error) {
  ::SetLastError(error);
  return nullptr;
}

// --- Named objects ------------------------------------------------------------

enum class Lookup { Opened, NotFound, Failed };

// Opens the object named `fileName` with a shared lock held. An object that
// no live process holds is abandoned: it is unlinked and reported missing.
Lookup OpenExisting(const std::shared_ptr<Directory>& dir, const std::string& fileName,
                    std::unique_ptr<ObjectFile>& file, ObjectHeader& header, DWORD& error) {
  for (;;) {
    const int fd = ::openat(dir->Fd(), fileName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return Lookup::NotFound;
      error = Win32FromErrno(errno);
      return Lookup::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      kernelnames::UnlinkIfSame(*dir, fileName, fd);
      ::close(fd);
      return Lookup::NotFound;
    }
    int rc;
    do rc = ::flock(fd, LOCK_SH);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      error = Win32FromErrno(errno);
      ::close(fd);
      return Lookup::Failed;
    }
    // The last holder may have unlinked the name while we waited for the
    // lock; then this file is dead and the name must be looked up again.
    struct stat open, named;
    if (::fstat(fd, &open) != 0 || ::fstatat(dir->Fd(), fileName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        open.st_ino != named.st_ino || open.st_dev != named.st_dev) {
      ::close(fd);
      continue;
    }
    file = std::make_unique<ObjectFile>(fd, dir, fileName);
    if (::pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) || header.magic != kMagic) {
      error = ERROR_INVALID_HANDLE;
      file.reset();
      return Lookup::Failed;
    }
    return Lookup::Opened;
  }
}

// A new object file that nobody can see yet, with our shared lock on it.
struct Unpublished {
  int fd = -1;
  std::string tempName;  // set when the system has no anonymous files in the directory

  ~Unpublished() {
    if (fd < 0) return;
    if (!tempName.empty()) ::unlink(tempName.c_str());
    ::close(fd);
  }
};

std::atomic<unsigned> g_tempCounter{0};

DWORD MakeUnpublished(const Directory& dir, Unpublished& out) {
  out.fd = ::openat(dir.Fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (out.fd < 0) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return Win32FromErrno(errno);
    // Named fallback: the leading '.' keeps it apart from encoded names; a
    // creator that dies before linking leaves it unlocked, and the sweep
    // reclaims it like any abandoned object.
    const std::string name = ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(g_tempCounter.fetch_add(1));
    out.fd = ::openat(dir.Fd(), name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out.fd < 0) return Win32FromErrno(errno);
    out.tempName = dir.Path() + "/" + name;
  }
  if (::flock(out.fd, LOCK_SH) != 0) return Win32FromErrno(errno);
  return ERROR_SUCCESS;
}

enum class Publish { Published, Retry, Failed };

Publish PublishAs(const std::shared_ptr<Directory>& dir, const std::string& fileName, Unpublished& object,
                  std::unique_ptr<ObjectFile>& file, DWORD& error) {
  int rc;
  if (object.tempName.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(object.fd);
    rc = ::linkat(AT_FDCWD, self.c_str(), dir->Fd(), fileName.c_str(), AT_SYMLINK_FOLLOW);
    if (rc != 0 && errno == ENOENT) rc = ::linkat(object.fd, "", dir->Fd(), fileName.c_str(), AT_EMPTY_PATH);
  } else {
    rc = ::linkat(AT_FDCWD, object.tempName.c_str(), dir->Fd(), fileName.c_str(), 0);
  }
  if (rc != 0) {
    // EEXIST: another process published the name first. ENOENT on the
    // named fallback: a sweep took our unlocked temp file. Both: look again.
    if (errno == EEXIST || (errno == ENOENT && !object.tempName.empty())) return Publish::Retry;
    error = Win32FromErrno(errno);
    return Publish::Failed;
  }
  if (!object.tempName.empty()) ::unlink(object.tempName.c_str());
  object.tempName.clear();
  file = std::make_unique<ObjectFile>(object.fd, dir, fileName);
  object.fd = -1;
  return Publish::Published;
}

DWORD Reserve(int fd, std::uint64_t bytes) {
  // Sections backed by the paging file are committed at creation on
  // Windows. Reserving the memory now turns "not enough memory" into a
  // failed creation instead of a SIGBUS at the first write.
  if (::fallocate(fd, 0, 0, static_cast<off_t>(bytes)) == 0) return ERROR_SUCCESS;
  if (errno != EOPNOTSUPP) return Win32FromErrno(errno);
  return ::ftruncate(fd, static_cast<off_t>(bytes)) == 0 ? ERROR_SUCCESS : Win32FromErrno(errno);
}

DWORD InitSectionFile(int fd, std::uint64_t size, DWORD protect) {
  if (size > static_cast<std::uint64_t>(INT64_MAX) - PageSize()) return ERROR_NOT_ENOUGH_MEMORY;
  if (const DWORD error = Reserve(fd, PageSize() + size)) return error;
  const ObjectHeader header{kMagic, Kind::Section, protect, 0, size};
  if (::pwrite(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return Win32FromErrno(errno);
  return ERROR_SUCCESS;
}

DWORD SectionRights(DWORD protect) { return protect == PAGE_READWRITE ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ; }

// --- Mutex pages ----------------------------------------------------------------

// Maps the first page of `fd`, or an anonymous shared page when fd < 0.
MutexPage* MapMutexPage(int fd) {
  void* address =
      ::mmap(nullptr, PageSize(), PROT_READ | PROT_WRITE, fd < 0 ? MAP_SHARED | MAP_ANONYMOUS : MAP_SHARED, fd, 0);
  return address == MAP_FAILED ? nullptr : static_cast<MutexPage*>(address);
}

bool InitMutexPage(MutexPage* page) {
  // Recursive for the owning thread, usable by every process that maps the
  // page, and robust: when the owner dies, the next locker is told
  // (EOWNERDEAD), which is Windows' WAIT_ABANDONED.
  pthread_mutexattr_t attributes;
  if (::pthread_mutexattr_init(&attributes) != 0) return false;
  bool ok = ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
            ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
            ::pthread_mutex_init(&page->mutex, &attributes) == 0;
  ::pthread_mutexattr_destroy(&attributes);
  page->header = ObjectHeader{kMagic, Kind::Mutex, 0, 0, 0};
  page->ownerThread = 0;
  page->depth = 0;
  return ok;
}

std::shared_ptr<Directory> NamespaceFor(const char16_t* name, std::string& fileName, DWORD& error) {
  error = kernelnames::EncodeObjectName(name, fileName);
  if (error != ERROR_SUCCESS) return nullptr;
  return kernelnames::CurrentDirectory(error);
}

bool IsNamed(LPCWSTR name) { return name != nullptr && name[0] != u'\0'; }

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
    if ((error = fill(fresh.fd)) != ERROR_SUCCESS) return Fail(error);
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

}  // namespace

extern "C" {

BOOL WINAPI CloseHandle(HANDLE handle) {
  Kernel& kernel = TheKernel();
  HandleEntry entry;
  {
    std::lock_guard<std::mutex> guard(kernel.lock);
    auto found = kernel.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == kernel.handles.end()) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    entry = std::move(found->second);
    kernel.handles.erase(found);
  }
  // The object is destroyed here, outside the table's lock: giving up a name
  // takes file locks and system calls. A wait in progress on another thread
  // keeps its own reference and finishes first.
  entry.object.reset();
  return TRUE;
}

HANDLE WINAPI CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD maximumSizeHigh,
                                 DWORD maximumSizeLow, LPCWSTR name) {
  // Only sections backed by the paging file exist here.
  if (file != INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
  const DWORD pageProtect = protect & 0xFFu;  // SEC_* flags are accepted and ignored
  if (pageProtect != PAGE_READWRITE && pageProtect != PAGE_READONLY) return Fail(ERROR_INVALID_PARAMETER);
  if (TakeInjectedFailure(TheKernel().failingMappingCreations)) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  const std::uint64_t size = (static_cast<std::uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;

  if (!IsNamed(name)) {
    if (size == 0) return Fail(ERROR_INVALID_PARAMETER);
    const int fd = ::memfd_create("moravane-section", MFD_CLOEXEC);
    if (fd < 0) return Fail(Win32FromErrno(errno));
    auto objectFile = std::make_unique<ObjectFile>(fd, nullptr, std::string());
    if (const DWORD error = InitSectionFile(fd, size, pageProtect)) return Fail(error);
    auto section = std::make_shared<Section>(std::move(objectFile), size, pageProtect);
    HANDLE handle = InsertHandle(std::move(section), SectionRights(pageProtect));
    ::SetLastError(ERROR_SUCCESS);
    return handle;
  }

  return CreateOrOpenNamed(
      name, Kind::Section,
      [&](std::unique_ptr<ObjectFile> objectFile, const ObjectHeader& header) {
        // An existing section is returned as it is; the size asked for is
        // ignored, as on Windows.
        auto section = std::make_shared<Section>(std::move(objectFile), header.sectionSize, header.protect);
        return InsertHandle(std::move(section), SectionRights(pageProtect) & SectionRights(header.protect));
      },
      [&](int fd) { return size == 0 ? ERROR_INVALID_PARAMETER : InitSectionFile(fd, size, pageProtect); }, [] {},
      [&](std::unique_ptr<ObjectFile> objectFile) {
        auto section = std::make_shared<Section>(std::move(objectFile), size, pageProtect);
        return InsertHandle(std::move(section), SectionRights(pageProtect));
      });
}

HANDLE WINAPI OpenFileMappingW(DWORD desiredAccess, BOOL, LPCWSTR name) {
  if (!IsNamed(name)) return Fail(ERROR_INVALID_PARAMETER);
  std::string fileName;
  DWORD error = ERROR_SUCCESS;
  auto dir = NamespaceFor(name, fileName, error);
  if (!dir) return Fail(error);
  std::unique_ptr<ObjectFile> objectFile;
  ObjectHeader header{};
  switch (OpenExisting(dir, fileName, objectFile, header, error)) {
    case Lookup::Failed:
      return Fail(error);
    case Lookup::NotFound:
      return Fail(ERROR_FILE_NOT_FOUND);
    case Lookup::Opened:
      break;
  }
  if (header.kind != Kind::Section) return Fail(ERROR_INVALID_HANDLE);
  const DWORD rights = SectionRights(header.protect);
  if ((desiredAccess & FILE_MAP_WRITE) != 0 && (rights & FILE_MAP_WRITE) == 0) return Fail(ERROR_ACCESS_DENIED);
  auto section = std::make_shared<Section>(std::move(objectFile), header.sectionSize, header.protect);
  HANDLE handle = InsertHandle(std::move(section), (desiredAccess & FILE_MAP_WRITE) ? rights : FILE_MAP_READ);
  ::SetLastError(ERROR_SUCCESS);
  return handle;
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T numberOfBytes) {
  HandleEntry entry;
  if (!LookupHandle(mapping, entry) || entry.object->GetKind() != Kind::Section) return Fail(ERROR_INVALID_HANDLE);
  if (TakeInjectedFailure(TheKernel().failingMapViews)) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  const auto& section = static_cast<const Section&>(*entry.object);
  const bool write = (desiredAccess & FILE_MAP_WRITE) != 0;
  if ((desiredAccess & (FILE_MAP_WRITE | FILE_MAP_READ)) == 0) return Fail(ERROR_INVALID_PARAMETER);
  if (write && (entry.access & FILE_MAP_WRITE) == 0) return Fail(ERROR_ACCESS_DENIED);

  const std::uint64_t offset = (static_cast<std::uint64_t>(offsetHigh) << 32) | offsetLow;
  if (offset % kAllocationGranularity != 0) return Fail(ERROR_MAPPED_ALIGNMENT);
  if (offset >= section.Size()) return Fail(ERROR_ACCESS_DENIED);
  const std::uint64_t length = numberOfBytes != 0 ? numberOfBytes : section.Size() - offset;
  if (length > section.Size() - offset) return Fail(ERROR_ACCESS_DENIED);

  void* address = ::mmap(nullptr, static_cast<std::size_t>(length), write ? PROT_READ | PROT_WRITE : PROT_READ,
                         MAP_SHARED, section.Fd(), static_cast<off_t>(PageSize() + offset));
  if (address == MAP_FAILED) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  Kernel& kernel = TheKernel();
  {
    std::lock_guard<std::mutex> guard(kernel.lock);
    kernel.views.emplace(reinterpret_cast<std::uintptr_t>(address), static_cast<std::size_t>(length));
  }
  ::SetLastError(ERROR_SUCCESS);
  return address;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress) {
  Kernel& kernel = TheKernel();
  std::size_t length = 0;
  {
    std::lock_guard<std::mutex> guard(kernel.lock);
    auto found = kernel.views.find(reinterpret_cast<std::uintptr_t>(baseAddress));
    if (found == kernel.views.end()) {
      ::SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    length = found->second;
    kernel.views.erase(found);
  }
  ::munmap(const_cast<void*>(baseAddress), length);
  return TRUE;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  if (!IsNamed(name)) {
    MutexPage* page = MapMutexPage(-1);
    if (page == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    if (!InitMutexPage(page)) {
      ::munmap(page, PageSize());
      return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    auto mutex = std::make_shared<Mutex>(nullptr, page);
    if (initialOwner && ::pthread_mutex_lock(mutex->Get()) == 0) mutex->Acquired(false);
    HANDLE handle = InsertHandle(std::move(mutex), 0);
    ::SetLastError(ERROR_SUCCESS);
    return handle;
  }

  MutexPage* page = nullptr;
  return CreateOrOpenNamed(
      name, Kind::Mutex,
      [](std::unique_ptr<ObjectFile> objectFile, const ObjectHeader&) {
        // The initial-owner flag only applies to the creator, as on Windows.
        MutexPage* opened = MapMutexPage(objectFile->Fd());
        if (opened == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        return InsertHandle(std::make_shared<Mutex>(std::move(objectFile), opened), 0);
      },
      [&](int fd) -> DWORD {
        if (const DWORD error = Reserve(fd, PageSize())) return error;
        page = MapMutexPage(fd);
        if (page == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
        if (!InitMutexPage(page)) {
          ::munmap(page, PageSize());
          page = nullptr;
          return ERROR_NOT_ENOUGH_MEMORY;
        }
        // Owned before anyone can open it, so the initial ownership is
        // atomic with the creation.
        if (initialOwner) ::pthread_mutex_lock(&page->mutex);
        return ERROR_SUCCESS;
      },
      [&] {
        if (initialOwner) ::pthread_mutex_unlock(&page->mutex);
        ::munmap(page, PageSize());
        page = nullptr;
      },
      [&](std::unique_ptr<ObjectFile> objectFile) {
        auto mutex = std::make_shared<Mutex>(std::move(objectFile), page);
        if (initialOwner) mutex->Acquired(false);
        return InsertHandle(std::move(mutex), 0);
      });
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  HandleEntry entry;
  if (!LookupHandle(handle, entry) || entry.object->GetKind() != Kind::Mutex) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  // `entry` keeps the object (and its page) alive even if another thread
  // closes the handle during the wait.
  auto& mutex = static_cast<Mutex&>(*entry.object);
  // A free or abandoned mutex is taken without sleeping; only a held one
  // makes the thread wait. (Sanitizers also model an abandoned mutex taken
  // by a try-lock, not by a timed lock.)
  int rc = ::pthread_mutex_trylock(mutex.Get());
  if (rc == EBUSY && milliseconds == INFINITE) {
    rc = ::pthread_mutex_lock(mutex.Get());
  } else if (rc == EBUSY && milliseconds != 0) {
    struct timespec deadline;
    ::clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    rc = ::pthread_mutex_timedlock(mutex.Get(), &deadline);
  }
  switch (rc) {
    case 0:
      mutex.Acquired(false);
      return WAIT_OBJECT_0;
    case EOWNERDEAD:
      // The previous owner died holding it: we own it now, and the state it
      // guarded may be inconsistent, which the caller learns from the code.
      ::pthread_mutex_consistent(mutex.Get());
      mutex.Acquired(true);
      return WAIT_ABANDONED;
    case EBUSY:
    case ETIMEDOUT:
      return WAIT_TIMEOUT;
    default:
      ::SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
  }
}

BOOL WINAPI ReleaseMutex(HANDLE handle) {
  HandleEntry entry;
  if (!LookupHandle(handle, entry) || entry.object->GetKind() != Kind::Mutex) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto& mutex = static_cast<Mutex&>(*entry.object);
  if (!mutex.OwnedByCaller() || !mutex.Release()) {
    ::SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"

namespace platformdebug {

std::int64_t LiveKernelHandleCount() {
  Kernel& kernel = TheKernel();
  std::lock_guard<std::mutex> guard(kernel.lock);
  return static_cast<std::int64_t>(kernel.handles.size());
}

std::int64_t LiveMappedViewCount() {
  Kernel& kernel = TheKernel();
  std::lock_guard<std::mutex> guard(kernel.lock);
  return static_cast<std::int64_t>(kernel.views.size());
}

void FailNextFileMappingCreations(int count) { TheKernel().failingMappingCreations.store(count); }

void FailNextMapViews(int count) { TheKernel().failingMapViews.store(count); }

void SetKernelNamespaceRoot(const std::string& root) { kernelnames::SetRoot(root); }

std::string KernelNamespaceDirectory() {
  DWORD error = ERROR_SUCCESS;
  auto dir = kernelnames::CurrentDirectory(error);
  return dir ? dir->Path() : std::string();
}

bool EncodeKernelObjectName(const char16_t* name, std::string* fileName) {
  return kernelnames::EncodeObjectName(name, *fileName) == ERROR_SUCCESS;
}

bool DecodeKernelObjectName(const std::string& fileName, std::u16string* name) {
  return kernelnames::DecodeObjectName(fileName, *name);
}

int ReclaimAbandonedKernelObjects() { return kernelnames::ReclaimAbandoned(); }

}  // namespace platformdebug
