// The BSTR functions of OLE Automation (<oleauto.h>) for systems that are not
// Windows, with the real layout: a 32-bit length prefix in bytes stands right
// before the characters, and a terminating NUL follows them. A BSTR is the
// address of the first character.
#pragma once

#include <windows.h>

typedef OLECHAR* BSTR;

extern "C" {
BSTR WINAPI SysAllocString(const OLECHAR* source);
BSTR WINAPI SysAllocStringLen(const OLECHAR* source, UINT length);
BSTR WINAPI SysAllocStringByteLen(LPCSTR source, UINT byteLength);
UINT WINAPI SysStringLen(BSTR value);
UINT WINAPI SysStringByteLen(BSTR value);
void WINAPI SysFreeString(BSTR value);
}
