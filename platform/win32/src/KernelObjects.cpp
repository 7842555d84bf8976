// The handle table, the named-object files and CloseHandle; see
// KernelObjects.h for the design.
#include "KernelObjects.h"

namespace kernelobjects {

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

std::int32_t CurrentThread() { return static_cast<std::int32_t>(::GetCurrentThreadId()); }

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

std::atomic<unsigned> g_tempCounter{0};

DWORD MakeUnpublished(const Directory& dir, Unpublished& out) {
  out.fd.Reset(::openat(dir.Fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!out.fd) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return Win32FromErrno(errno);
    // Named fallback: the leading '.' keeps it apart from encoded names; a
    // creator that dies before linking leaves it unlocked, and the sweep
    // reclaims it like any abandoned object.
    const std::string name = ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(g_tempCounter.fetch_add(1));
    out.fd.Reset(::openat(dir.Fd(), name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.fd) return Win32FromErrno(errno);
    out.tempName = dir.Path() + "/" + name;
  }
  if (::flock(out.fd.Get(), LOCK_SH) != 0) return Win32FromErrno(errno);
  return ERROR_SUCCESS;
}

Publish PublishAs(const std::shared_ptr<Directory>& dir, const std::string& fileName, Unpublished& object,
                  std::unique_ptr<ObjectFile>& file, DWORD& error) {
  int rc;
  if (object.tempName.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(object.fd.Get());
    rc = ::linkat(AT_FDCWD, self.c_str(), dir->Fd(), fileName.c_str(), AT_SYMLINK_FOLLOW);
    if (rc != 0 && errno == ENOENT) rc = ::linkat(object.fd.Get(), "", dir->Fd(), fileName.c_str(), AT_EMPTY_PATH);
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
  file = std::make_unique<ObjectFile>(object.fd.Get(), dir, fileName);
  object.fd.Detach();  // the object file owns it now
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

}  // namespace kernelobjects

using namespace kernelobjects;

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
