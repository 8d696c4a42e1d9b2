// Win32 types, constants and records as the library sees them.
//
// The library never includes <windows.h>: it talks to the operating system
// only through the platform seam (kvplatform.h), whose operations keep the
// Win32 names, argument orders and error conventions. The types below have the
// sizes and layouts of their Win32 namesakes on the platform being built, so a
// record filled here is the record Windows expects (and vice versa) in both the
// 32-bit and the 64-bit build. The Win32 implementation of the seam checks
// those layouts against the real headers with static_asserts.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && defined(__i386__)
#define KVAPI __attribute__((stdcall))
#else
#define KVAPI
#endif

namespace kv {

using BYTE = std::uint8_t;
using UCHAR = std::uint8_t;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using WCHAR = char16_t;  // UTF-16 code unit, also where wchar_t is 32 bits
using REGSAM = DWORD;
using CONFIGRET = DWORD;
using DEVINST = DWORD;
using NTSTATUS = LONG;
using LPCSTR = const char*;
using LPSTR = char*;

using HANDLE = void*;
struct HKEY__;
using HKEY = HKEY__*;
struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using HINSTANCE = HMODULE;
struct HWND__;
using HWND = HWND__*;
struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = void*;
using HDEVINFO = void*;
using FARPROC = LONG_PTR(KVAPI*)();

// Conversions between FARPROC and the real prototype of an entry point. They
// pass through void(*)(), the one function type that compilers accept as a
// stand-in for any other without a warning.
template <class T>
T ProcCast(FARPROC proc) {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(proc));
}
template <class T>
FARPROC ToFarProc(T proc) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(proc));
}


inline HANDLE InvalidHandle() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

// Predefined registry roots: 32-bit values sign-extended to the pointer width.
inline HKEY PredefinedKey(std::uint32_t v) {
  return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(v))));
}

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
inline bool operator==(const GUID& a, const GUID& b) {
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// ---- last-error codes -------------------------------------------------------

// ---- files and handles ------------------------------------------------------

struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};

// ---- registry ---------------------------------------------------------------

// ---- SetupAPI and the configuration manager --------------------------------

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};
// Windows packs this record to 1 byte on 32-bit and to the natural 8 on 64-bit:
// cbSize is 5 there and 8 here, which is exactly sizeof of this definition.
#if defined(__i386__) || defined(_M_IX86)
#pragma pack(push, 1)
#endif
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  char DevicePath[1];
};
#if defined(__i386__) || defined(_M_IX86)
#pragma pack(pop)
#endif

// ---- Windows version --------------------------------------------------------
struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};

// ---- drives -----------------------------------------------------------------

// ---- processes --------------------------------------------------------------
struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};
struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  void* lpSecurityDescriptor;
  BOOL bInheritHandle;
};

// ---- resources and version records -------------------------------------------
inline LPCSTR MakeIntResourceA(WORD id) { return reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(id)); }
inline bool IsIntResource(LPCSTR p) { return (reinterpret_cast<ULONG_PTR>(p) >> 16) == 0; }
struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // 0xFEEF04BD
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

// ---- windows and messages ---------------------------------------------------

using WNDPROC = LRESULT(KVAPI*)(HWND, UINT, WPARAM, LPARAM);
using WNDENUMPROC = BOOL(KVAPI*)(HWND, LPARAM);

struct POINT {
  LONG x, y;
};
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
struct WNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  void* hIcon;
  void* hCursor;
  void* hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
};

// ---- shell file operation -----------------------------------------------------
// The shell packs this record to 1 byte on 32-bit Windows only.
#if defined(__i386__) || defined(_M_IX86)
#pragma pack(push, 1)
#endif
struct SHFILEOPSTRUCTA {
  HWND hwnd;
  UINT wFunc;
  LPCSTR pFrom;  // list of paths, each ended by a zero, the list by a second zero
  LPCSTR pTo;
  WORD fFlags;
  BOOL fAnyOperationsAborted;
  void* hNameMappings;
  LPCSTR lpszProgressTitle;
};
#if defined(__i386__) || defined(_M_IX86)
#pragma pack(pop)
#endif

// ---- COM --------------------------------------------------------------------
using HRESULT = LONG;

}  // namespace kv

#include "kvwinconst.h"
