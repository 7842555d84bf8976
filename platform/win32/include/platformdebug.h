// Test hooks of the platform layer (not part of the Windows SDK). Tests use
// them to prove that every BSTR, kernel handle and view is released exactly
// once and to reach the failure paths of the library.
#pragma once

#include <cstdint>
#include <string>

#include <objbase.h>
#include <windows.h>

namespace platformdebug {

// Number of BSTRs allocated and not yet freed, process-wide.
std::int64_t LiveBstrCount();

// Makes the next `count` BSTR allocations fail (return null) on any thread.
void FailNextBstrAllocations(int count);

// Kernel objects: handles open in this process (sections and mutexes) and
// views mapped and not yet unmapped.
std::int64_t LiveKernelHandleCount();
std::int64_t LiveMappedViewCount();

// Makes the next `count` calls of CreateFileMappingW / MapViewOfFile fail
// (null, ERROR_NOT_ENOUGH_MEMORY) on any thread.
void FailNextFileMappingCreations(int count);
void FailNextMapViews(int count);

// Named kernel objects live in <root>/moravane-<euid>. Tests point the root
// elsewhere to check the directory's verification; "" restores the default.
void SetKernelNamespaceRoot(const std::string& root);
// The verified directory of the current root, "" when it is refused.
std::string KernelNamespaceDirectory();

// The file name under which the object `name` is kept, and back. False for a
// name that has no file name (empty, too long) or a file name of no object.
bool EncodeKernelObjectName(const char16_t* name, std::string* fileName);
bool DecodeKernelObjectName(const std::string& fileName, std::u16string* name);

// Unlinks the objects of the namespace whose holders have all died.
// Returns how many were reclaimed.
int ReclaimAbandonedKernelObjects();

}  // namespace platformdebug
