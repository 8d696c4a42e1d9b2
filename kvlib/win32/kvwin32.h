// Shared by the Win32 implementation of the seam: our headers, then the
// system's, then the conversions between the two at the boundary.
//
// Our headers must come first. After <windows.h> the Win32 macros own names
// such as TRUE, ERROR_SUCCESS or MAX_PATH, and kvwinconst.h leaves them to the
// system headers; included the other way round its declarations would be
// rewritten by those macros. The values are the same (kvwinlayout.cpp checks).
#pragma once

#include "kvplatform.h"
#include "kvresources.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <winver.h>

namespace kv::win32 {

// 32-bit user32 exports no GetWindowLongPtrA/SetWindowLongPtrA; the headers
// map them to GetWindowLongA/SetWindowLongA with macros, which would also
// rewrite the seam's members of those names. Bind the calls here, then drop
// the macros.
inline LONG_PTR SystemGetWindowLongPtr(::HWND window, int index) {
  return GetWindowLongPtrA(window, index);
}
inline LONG_PTR SystemSetWindowLongPtr(::HWND window, int index, LONG_PTR value) {
  return SetWindowLongPtrA(window, index, value);
}

// Our DWORD is a 32-bit unsigned int, the system's an unsigned long of the
// same size; pointers to them convert only by reinterpretation. The same goes
// for the handle types, which are distinct incomplete structs on each side,
// and for the records, whose layouts kvwinlayout.cpp proves identical.
static_assert(sizeof(kv::DWORD) == sizeof(::DWORD), "DWORD width");
inline ::DWORD* W(kv::DWORD* p) { return reinterpret_cast<::DWORD*>(p); }
inline ::HWND W(kv::HWND h) { return reinterpret_cast<::HWND>(h); }
inline kv::HWND K(::HWND h) { return reinterpret_cast<kv::HWND>(h); }
inline ::HKEY W(kv::HKEY h) { return reinterpret_cast<::HKEY>(h); }
inline ::HKEY* W(kv::HKEY* h) { return reinterpret_cast<::HKEY*>(h); }
inline ::HMODULE W(kv::HMODULE h) { return reinterpret_cast<::HMODULE>(h); }
inline kv::HMODULE K(::HMODULE h) { return reinterpret_cast<kv::HMODULE>(h); }
inline ::HRSRC W(kv::HRSRC h) { return reinterpret_cast<::HRSRC>(h); }
inline kv::HRSRC K(::HRSRC h) { return reinterpret_cast<kv::HRSRC>(h); }
inline ::GUID* W(kv::GUID* p) { return reinterpret_cast<::GUID*>(p); }
inline ::MSG* W(kv::MSG* p) { return reinterpret_cast<::MSG*>(p); }
inline const ::MSG* W(const kv::MSG* p) { return reinterpret_cast<const ::MSG*>(p); }
inline const ::WNDCLASSA* W(const kv::WNDCLASSA* p) { return reinterpret_cast<const ::WNDCLASSA*>(p); }
inline ::WNDPROC W(kv::WNDPROC p) { return reinterpret_cast<::WNDPROC>(p); }
inline ::OVERLAPPED* W(kv::OVERLAPPED* p) { return reinterpret_cast<::OVERLAPPED*>(p); }
inline ::SECURITY_ATTRIBUTES* W(kv::SECURITY_ATTRIBUTES* p) {
  return reinterpret_cast<::SECURITY_ATTRIBUTES*>(p);
}
inline ::STARTUPINFOA* W(kv::STARTUPINFOA* p) { return reinterpret_cast<::STARTUPINFOA*>(p); }
inline ::PROCESS_INFORMATION* W(kv::PROCESS_INFORMATION* p) {
  return reinterpret_cast<::PROCESS_INFORMATION*>(p);
}
inline ::OSVERSIONINFOA* W(kv::OSVERSIONINFOA* p) { return reinterpret_cast<::OSVERSIONINFOA*>(p); }
inline ::SHFILEOPSTRUCTA* W(kv::SHFILEOPSTRUCTA* p) { return reinterpret_cast<::SHFILEOPSTRUCTA*>(p); }

// A procedure found with GetProcAddress, as the function type it really has.
// Going through void(*)() tells the compiler the change of type is meant.
template <class Fn>
Fn ProcAs(::FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// Keeps the calling thread's last error across work that is no part of the
// call the caller asked for (probing kernel32, for instance).
class TLastErrorKeeper {
 public:
  TLastErrorKeeper() : FSaved(::GetLastError()) {}
  ~TLastErrorKeeper() { ::SetLastError(FSaved); }
  TLastErrorKeeper(const TLastErrorKeeper&) = delete;
  TLastErrorKeeper& operator=(const TLastErrorKeeper&) = delete;

 private:
  ::DWORD FSaved;
};

}  // namespace kv::win32

#undef GetWindowLongPtrA
#undef SetWindowLongPtrA
