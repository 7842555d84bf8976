// Mutexes: CreateMutexW, waiting for one and releasing it.
#include "KernelObjects.h"

using namespace kernelobjects;

extern "C" {

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
