// Kept apart from Sections.cpp so that in-process users, which never map a
// kernel section, do not need the kernel functions at link time.
#include "Sections.h"

#include "ServerError.h"

#include <kelvex/Strings.h>

#include <windows.h>

namespace linkserver {

namespace {

std::string Narrow(const std::u16string& name) {
  return kelvex::utility::UTF16ToUTF8(kelvex::utility::UTF16String(name.begin(), name.end()));
}

// Owns the mapping handle and the view; both are released when the render
// that mapped them ends.
class KernelMapping final : public SectionMapping {
 public:
  KernelMapping(HANDLE handle, void* view) : m_handle(handle), m_view(view) {}
  ~KernelMapping() override {
    UnmapViewOfFile(m_view);
    CloseHandle(m_handle);
  }
  KernelMapping(const KernelMapping&) = delete;
  KernelMapping& operator=(const KernelMapping&) = delete;
  std::byte* Data() const override { return static_cast<std::byte*>(m_view); }

 private:
  HANDLE m_handle;
  void* m_view;
};

}  // namespace

std::unique_ptr<SectionMapping> KernelSections::Map(const std::u16string& name, std::uint64_t size) {
  HANDLE handle = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
  if (handle == nullptr) {
    // The host chose to open what the server creates.
    handle = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                static_cast<DWORD>(size & 0xFFFFFFFFu), name.c_str());
  }
  if (handle == nullptr) {
    Fail(HRESULT_FROM_WIN32(GetLastError()), "cannot open or create the section '" + Narrow(name) + "'");
  }
  void* view = MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, static_cast<SIZE_T>(size));
  if (view == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    Fail(HRESULT_FROM_WIN32(error),
         "cannot map " + std::to_string(size) + " bytes of the section '" + Narrow(name) + "'");
  }
  return std::make_unique<KernelMapping>(handle, view);
}

}  // namespace linkserver
