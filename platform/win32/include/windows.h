// The subset of the Windows SDK's <windows.h> that moravane, its tests and
// its tools call, for systems that are not Windows. Names, widths and
// signatures follow the SDK so that the library keeps one code path: on
// Windows the real header is found first, everywhere else this one.
//
// Widths are those of 32-bit Windows: LONG, HRESULT and DWORD are 32 bits
// even where the C++ `long` is 64 bits, and OLECHAR/WCHAR is a 16-bit
// UTF-16 code unit (char16_t).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef std::uint32_t DWORD;
typedef std::int32_t BOOL;
typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t UINT;
typedef std::int32_t INT;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef std::uint64_t DWORD64;
typedef std::int32_t HRESULT;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef void* HMODULE;
typedef HMODULE HINSTANCE;
typedef std::size_t SIZE_T;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Calling convention markers. On 32-bit Windows the COM methods are
// __stdcall; the System V ABI has a single convention, so they are empty.
#define WINAPI
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT STDAPICALLTYPE

// --- GUID (guiddef.h) ------------------------------------------------------

typedef struct _GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

static_assert(sizeof(GUID) == 16, "GUID is the 16-byte Windows layout");

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

// --- Result codes (winerror.h) ----------------------------------------------
// Spelled as HRESULT-typed constants: a bare 0x8xxxxxxx literal is an
// unsigned (or 64-bit) value and compares unequal with a negative HRESULT.

#define MORAVANE_HR(x) (static_cast<HRESULT>(static_cast<std::uint32_t>(x)))
#define S_OK MORAVANE_HR(0x00000000u)
#define S_FALSE MORAVANE_HR(0x00000001u)
#define E_NOTIMPL MORAVANE_HR(0x80004001u)
#define E_NOINTERFACE MORAVANE_HR(0x80004002u)
#define E_POINTER MORAVANE_HR(0x80004003u)
#define E_ABORT MORAVANE_HR(0x80004004u)
#define E_FAIL MORAVANE_HR(0x80004005u)
#define E_UNEXPECTED MORAVANE_HR(0x8000FFFFu)
#define E_ACCESSDENIED MORAVANE_HR(0x80070005u)
#define E_HANDLE MORAVANE_HR(0x80070006u)
#define E_OUTOFMEMORY MORAVANE_HR(0x8007000Eu)
#define E_INVALIDARG MORAVANE_HR(0x80070057u)
#define CLASS_E_NOAGGREGATION MORAVANE_HR(0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE MORAVANE_HR(0x80040111u)
#define REGDB_E_CLASSNOTREG MORAVANE_HR(0x80040154u)
#define CO_E_NOTINITIALIZED MORAVANE_HR(0x800401F0u)
#define CO_E_SERVER_EXEC_FAILURE MORAVANE_HR(0x80080005u)
#define RPC_E_CHANGED_MODE MORAVANE_HR(0x80010106u)
#define RPC_E_DISCONNECTED MORAVANE_HR(0x80010108u)
#define RPC_S_SERVER_UNAVAILABLE_HR MORAVANE_HR(0x800706BAu)
#define RPC_S_CALL_FAILED_HR MORAVANE_HR(0x800706BEu)

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_FROM_WIN32(x)                             \
  (static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x) \
                                : MORAVANE_HR((static_cast<std::uint32_t>(x) & 0x0000FFFFu) | 0x80070000u))

// Win32 error codes (GetLastError).
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_NO_UNICODE_TRANSLATION 1113u
#define ERROR_NOT_OWNER 288u
#define ERROR_INVALID_ADDRESS 487u
#define ERROR_MAPPED_ALIGNMENT 1132u
#define ERROR_INVALID_FLAGS 1004u
#define RPC_S_SERVER_UNAVAILABLE 1722u
#define RPC_S_CALL_FAILED 1726u

extern "C" {
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);
DWORD WINAPI GetCurrentThreadId(void);
DWORD WINAPI GetCurrentProcessId(void);
}

// --- Code pages (stringapiset.h) ---------------------------------------------
// Off Windows the ANSI code page is UTF-8, so that a server's non-ASCII error
// text survives the round trip UTF-16 -> ANSI -> UTF-16.

#define CP_ACP 0u
#define CP_OEMCP 1u
#define CP_THREAD_ACP 3u
#define CP_UTF8 65001u
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_ERR_INVALID_CHARS 0x00000080u

extern "C" {
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideStr, int wideLen, LPSTR multiStr, int multiLen,
                               LPCSTR defaultChar, BOOL* usedDefaultChar);
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiStr, int multiLen, LPWSTR wideStr, int wideLen);
}

// --- Kernel objects ----------------------------------------------------------

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define FILE_MAP_COPY 0x0001u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0xF001Fu
#define SYNCHRONIZE 0x00100000u
#define MUTEX_ALL_ACCESS 0x1F0001u

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

extern "C" {
BOOL WINAPI CloseHandle(HANDLE handle);
HANDLE WINAPI CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD maximumSizeHigh,
                                 DWORD maximumSizeLow, LPCWSTR name);
HANDLE WINAPI OpenFileMappingW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T numberOfBytes);
BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress);
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
}
