// Sections: CreateFileMappingW, OpenFileMappingW and the views of them.
#include "KernelObjects.h"

using namespace kernelobjects;

extern "C" {

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
  // A copy-on-write view needs only the right to read: its writes go to
  // pages of this process and never reach the section. FILE_MAP_COPY's bit
  // is also part of FILE_MAP_ALL_ACCESS, so only the flag alone asks for it.
  const bool copyOnWrite = desiredAccess == FILE_MAP_COPY;
  const bool write = (desiredAccess & FILE_MAP_WRITE) != 0 && !copyOnWrite;
  if ((desiredAccess & (FILE_MAP_WRITE | FILE_MAP_READ | FILE_MAP_COPY)) == 0) return Fail(ERROR_INVALID_PARAMETER);
  if (write && (entry.access & FILE_MAP_WRITE) == 0) return Fail(ERROR_ACCESS_DENIED);

  const std::uint64_t offset = (static_cast<std::uint64_t>(offsetHigh) << 32) | offsetLow;
  if (offset % kAllocationGranularity != 0) return Fail(ERROR_MAPPED_ALIGNMENT);
  if (offset >= section.Size()) return Fail(ERROR_ACCESS_DENIED);
  const std::uint64_t length = numberOfBytes != 0 ? numberOfBytes : section.Size() - offset;
  if (length > section.Size() - offset) return Fail(ERROR_ACCESS_DENIED);

  void* address = ::mmap(nullptr, static_cast<std::size_t>(length),
                         write || copyOnWrite ? PROT_READ | PROT_WRITE : PROT_READ,
                         copyOnWrite ? MAP_PRIVATE : MAP_SHARED, section.Fd(), static_cast<off_t>(PageSize() + offset));
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

}  // extern "C"
