// A named section of shared memory, backed by the paging file, mapped into
// this process. Rendered frames and audio travel from the server to the host
// through it: the host hands the section's name and size to the renderer
// and reads the data at GetAddress().
#pragma once

#include <moravane/Export.h>
#include <moravane/LinkError.h>

#include <windows.h>

#include <string>

namespace moravane {

// Not thread-safe: one object is used by one thread at a time; different
// objects may name the same section. Every failure of the system is thrown
// as LinkError(kSharedMemoryFailed) with no text.
class MORAVANE_API MemoryMappedFile {
 public:
  MemoryMappedFile();
  // Copies name the same section at the same address. They share the handle
  // and the view: the last of them to let go closes and unmaps them.
  MemoryMappedFile(const MemoryMappedFile& other);
  MemoryMappedFile& operator=(const MemoryMappedFile& other);
  ~MemoryMappedFile();

  // Drops what the object holds, then creates (create true) or opens the
  // section `name` of `size` bytes, trying a second time once. A created
  // section is mapped at once, an opened one on the first GetAddress().
  // Throws LinkError with the object left empty.
  void Init(bool create, const std::string& name, ULONGLONG size);

  // The address of the view, mapping an opened section first. Throws
  // LinkError when there is none; the object is then unchanged.
  void* GetAddress();

  // Unmaps the view and closes the handle; name, size and create flag stay.
  void Reset();

 protected:
  // Creates or opens the section from the recorded name, size and flag;
  // does nothing while a view is mapped.
  void Init();

 private:
  HANDLE m_mapping;
  std::string m_name;
  ULONGLONG m_size;
  void* m_view;
  bool m_create;
};

}  // namespace moravane
