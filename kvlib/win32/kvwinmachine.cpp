// The real machine: the Windows this process runs on.
#include "kvwinnative.h"
#include "kvwin32.h"

#include <cstring>
#include <string>

namespace kv {

DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD code) { ::SetLastError(code); }

TkvMachine* RealMachine() {
  // Never destroyed: destructors of other static objects may still close
  // handles or free libraries through it at exit.
  static win32::TWin32Machine* const machine = new win32::TWin32Machine();
  return machine;
}

namespace win32 {

namespace {

bool HasPath(LPCSTR name) { return std::strpbrk(name, "\\/:") != nullptr; }

}  // namespace

bool LoaderSearchesSystem32() {
  // The loader update that brought LOAD_LIBRARY_SEARCH_SYSTEM32 also brought
  // AddDllDirectory; its presence is the documented test for the flag.
  static const bool searches = [] {
    TLastErrorKeeper keep;
    ::HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    return kernel != nullptr && ::GetProcAddress(kernel, "AddDllDirectory") != nullptr;
  }();
  return searches;
}

HMODULE LoadSystemLibrary(LPCSTR name, bool searchFlag) {
  if (name == nullptr || *name == '\0' || HasPath(name)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (searchFlag) return K(::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));

  char folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0) return nullptr;  // its last error stands
  if (length >= MAX_PATH) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nullptr;
  }
  std::string path(folder, length);
  if (path.back() != '\\') path += '\\';
  path += name;
  // The DLL's own dependencies are then looked for beside it, in the system
  // folder, before anywhere else.
  return K(::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

HMODULE TWin32Machine::LoadLibraryA(LPCSTR name) {
  return LoadSystemLibrary(name, LoaderSearchesSystem32());
}

FARPROC TWin32Machine::GetProcAddress(HMODULE module, LPCSTR name) {
  // The system's FARPROC and ours are the same function type; the cast only
  // bridges the two declarations.
  return reinterpret_cast<FARPROC>(::GetProcAddress(W(module), name));
}

BOOL TWin32Machine::FreeLibrary(HMODULE module) { return ::FreeLibrary(W(module)); }

HANDLE TWin32Machine::CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa,
                                  DWORD disposition, DWORD flags, HANDLE templ) {
  return ::CreateFileA(name, access, share, W(sa), disposition, flags, templ);
}

BOOL TWin32Machine::DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                                    DWORD outSize, DWORD* returned, OVERLAPPED* overlapped) {
  return ::DeviceIoControl(device, code, in, inSize, out, outSize, W(returned), W(overlapped));
}

BOOL TWin32Machine::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

// The registry functions answer with their result; the seam promises that
// they leave the last error alone, which not every Windows version does.
LONG TWin32Machine::RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, HKEY* result) {
  TLastErrorKeeper keep;
  return ::RegOpenKeyExA(W(root), subKey, options, access, W(result));
}

LONG TWin32Machine::RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options,
                                    REGSAM access, SECURITY_ATTRIBUTES* sa, HKEY* result,
                                    DWORD* disposition) {
  TLastErrorKeeper keep;
  return ::RegCreateKeyExA(W(root), subKey, reserved, cls, options, access, W(sa), W(result),
                           W(disposition));
}

LONG TWin32Machine::RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                                     DWORD* size) {
  TLastErrorKeeper keep;
  return ::RegQueryValueExA(W(key), valueName, W(reserved), W(type), data, W(size));
}

LONG TWin32Machine::RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                   DWORD size) {
  TLastErrorKeeper keep;
  return ::RegSetValueExA(W(key), valueName, reserved, type, data, size);
}

LONG TWin32Machine::RegDeleteValueA(HKEY key, LPCSTR valueName) {
  TLastErrorKeeper keep;
  return ::RegDeleteValueA(W(key), valueName);
}

LONG TWin32Machine::RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved,
                                  DWORD* type, BYTE* data, DWORD* dataSize) {
  TLastErrorKeeper keep;
  return ::RegEnumValueA(W(key), index, name, W(nameSize), W(reserved), W(type), data, W(dataSize));
}

LONG TWin32Machine::RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved,
                                  LPSTR cls, DWORD* clsSize, void* lastWrite) {
  TLastErrorKeeper keep;
  return ::RegEnumKeyExA(W(key), index, name, W(nameSize), W(reserved), cls, W(clsSize),
                         static_cast<::FILETIME*>(lastWrite));
}

LONG TWin32Machine::RegCloseKey(HKEY key) {
  TLastErrorKeeper keep;
  return ::RegCloseKey(W(key));
}

DWORD TWin32Machine::GetLogicalDrives() { return ::GetLogicalDrives(); }

UINT TWin32Machine::GetDriveTypeA(LPCSTR rootPath) { return ::GetDriveTypeA(rootPath); }

BOOL TWin32Machine::GetVersionExA(OSVERSIONINFOA* info) {
  // Without a manifest that names it, Windows 8.1 and later report 6.2 here;
  // that is what the caller would see from the system too, so it is passed on.
  return ::GetVersionExA(W(info));
}

BOOL TWin32Machine::IsWow64() {
  // IsWow64Process is missing from the oldest systems we start on, so it is
  // looked up rather than linked.
  using TIsWow64Process = ::BOOL(WINAPI*)(::HANDLE, ::BOOL*);
  static const TIsWow64Process isWow64Process = [] {
    TLastErrorKeeper keep;
    ::HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    return kernel ? ProcAs<TIsWow64Process>(::GetProcAddress(kernel, "IsWow64Process")) : nullptr;
  }();
  if (isWow64Process == nullptr) return FALSE;
  TLastErrorKeeper keep;
  ::BOOL wow64 = FALSE;
  return isWow64Process(::GetCurrentProcess(), &wow64) && wow64 ? TRUE : FALSE;
}

BOOL TWin32Machine::CreateProcessA(LPCSTR application, LPSTR commandLine, SECURITY_ATTRIBUTES* processSa,
                                   SECURITY_ATTRIBUTES* threadSa, BOOL inheritHandles, DWORD flags,
                                   void* environment, LPCSTR directory, STARTUPINFOA* startup,
                                   PROCESS_INFORMATION* info) {
  return ::CreateProcessA(application, commandLine, W(processSa), W(threadSa), inheritHandles, flags,
                          environment, directory, W(startup), W(info));
}

DWORD TWin32Machine::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return ::WaitForSingleObject(handle, milliseconds);
}

BOOL TWin32Machine::GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  return ::GetExitCodeProcess(process, W(exitCode));
}

}  // namespace win32
}  // namespace kv
