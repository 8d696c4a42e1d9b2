// The Win32 halves of the seam. Every member forwards to the Win32 function of
// the same name, converting our types to the system's at the boundary; only
// the points where the library asks for more than a plain call are noted.
//
// Programs reach these through RealMachine() and NativeHost(); the classes and
// helpers are declared here for the Windows tests.
#pragma once

#include "kvplatform.h"

#include <cstddef>
#include <string>

namespace kv::win32 {

// Loads a system DLL by bare name ("setupapi", "SetupAPI.dll") from the system
// folder only, never from the program's folder, the current folder or PATH,
// where a planted copy could be waiting. A name with a path is refused with
// ERROR_INVALID_PARAMETER. With searchFlag the loader is told to search only
// the system folder (LOAD_LIBRARY_SEARCH_SYSTEM32: Windows 8, or 7 with its
// loader update); without it the full path is built from GetSystemDirectoryA.
HMODULE LoadSystemLibrary(LPCSTR name, bool searchFlag);
// Whether this Windows' loader accepts LOAD_LIBRARY_SEARCH_SYSTEM32.
bool LoaderSearchesSystem32();

// Converts UTF-16 to codePage (the host passes the ANSI code page) in pieces
// of at most maxChunk code units, never splitting a surrogate pair
// (WideCharToMultiByte takes int lengths). Unmappable characters, best-fit
// look-alikes included, become '?'; in UTF-8 every character maps.
std::string WideToAnsi(const WCHAR* text, std::size_t length, UINT codePage, std::size_t maxChunk);

class TWin32Machine final : public TkvMachine {
 public:
  HMODULE LoadLibraryA(LPCSTR name) override;
  FARPROC GetProcAddress(HMODULE module, LPCSTR name) override;
  BOOL FreeLibrary(HMODULE module) override;

  HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa, DWORD disposition,
                     DWORD flags, HANDLE templ) override;
  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned, OVERLAPPED* overlapped) override;
  BOOL CloseHandle(HANDLE handle) override;

  LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, HKEY* result) override;
  LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, REGSAM access,
                       SECURITY_ATTRIBUTES* sa, HKEY* result, DWORD* disposition) override;
  LONG RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* size) override;
  LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD size) override;
  LONG RegDeleteValueA(HKEY key, LPCSTR valueName) override;
  LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved, DWORD* type,
                     BYTE* data, DWORD* dataSize) override;
  LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved, LPSTR cls,
                     DWORD* clsSize, void* lastWrite) override;
  LONG RegCloseKey(HKEY key) override;

  DWORD GetLogicalDrives() override;
  UINT GetDriveTypeA(LPCSTR rootPath) override;
  BOOL GetVersionExA(OSVERSIONINFOA* info) override;
  BOOL IsWow64() override;

  BOOL CreateProcessA(LPCSTR application, LPSTR commandLine, SECURITY_ATTRIBUTES* processSa,
                      SECURITY_ATTRIBUTES* threadSa, BOOL inheritHandles, DWORD flags, void* environment,
                      LPCSTR directory, STARTUPINFOA* startup, PROCESS_INFORMATION* info) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) override;
};

class TWin32Host final : public TkvHost {
 public:
  // Files and folders (kvwinhost.cpp).
  HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa, DWORD disposition,
                     DWORD flags, HANDLE templ) override;
  BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov) override;
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ov) override;
  DWORD GetFileSize(HANDLE file, DWORD* high) override;
  BOOL CloseHandle(HANDLE handle) override;
  BOOL DeleteFileA(LPCSTR name) override;
  BOOL CreateDirectoryA(LPCSTR name, SECURITY_ATTRIBUTES* sa) override;
  BOOL RemoveDirectoryA(LPCSTR name) override;
  DWORD GetFileAttributesA(LPCSTR name) override;
  DWORD GetTempPathA(DWORD size, LPSTR buffer) override;
  DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) override;
  BOOL SetCurrentDirectoryA(LPCSTR path) override;
  DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) override;
  int SHFileOperationA(SHFILEOPSTRUCTA* op) override;

  // The module, resources and version records (kvwinhost.cpp).
  HMODULE GetModuleHandleA(LPCSTR name) override;
  DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) override;
  HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) override;
  HGLOBAL LoadResource(HMODULE module, HRSRC res) override;
  void* LockResource(HGLOBAL data) override;
  DWORD SizeofResource(HMODULE module, HRSRC res) override;
  DWORD GetFileVersionInfoSizeA(LPCSTR fileName, DWORD* handle) override;
  BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD size, void* data) override;
  BOOL VerQueryValueA(const void* block, LPCSTR subBlock, void** buffer, UINT* length) override;

  // Events, time, debug output (kvwinhost.cpp).
  HANDLE CreateEventA(SECURITY_ATTRIBUTES* sa, BOOL manualReset, BOOL initialState, LPCSTR name) override;
  BOOL SetEvent(HANDLE event) override;
  BOOL ResetEvent(HANDLE event) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) override;
  DWORD GetTickCount() override;
  void Sleep(DWORD milliseconds) override;
  void OutputDebugStringA(LPCSTR text) override;
  void OutputDebugStringW(const WCHAR* text) override;
  DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, LPSTR buffer,
                       DWORD size, void* arguments) override;
  void* LocalFree(void* memory) override;

  // Windows, messages and timers (kvwinwindows.cpp).
  UINT RegisterClassA(const WNDCLASSA* cls) override;
  HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                       int width, int height, HWND parent, void* menu, HINSTANCE instance,
                       void* param) override;
  BOOL DestroyWindow(HWND window) override;
  BOOL IsWindow(HWND window) override;
  LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) override;
  LONG_PTR GetWindowLongPtrA(HWND window, int index) override;
  LRESULT CallWindowProcA(WNDPROC proc, HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;
  LRESULT DefWindowProcA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;
  LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;
  BOOL InSendMessage() override;
  BOOL PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;
  BOOL GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax) override;
  BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) override;
  BOOL TranslateMessage(const MSG* msg) override;
  LRESULT DispatchMessageA(const MSG* msg) override;
  void PostQuitMessage(int exitCode) override;
  UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, void* timerProc) override;
  BOOL KillTimer(HWND window, UINT_PTR id) override;
  HWND GetForegroundWindow() override;
  DWORD GetCurrentThreadId() override;
  int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) override;
  BOOL EnumWindows(WNDENUMPROC proc, LPARAM param) override;
  DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) override;
  DWORD GetCurrentProcessId() override;

  // The clipboard, global memory and the shell (kvwinwindows.cpp).
  BOOL OpenClipboard(HWND owner) override;
  BOOL CloseClipboard() override;
  BOOL EmptyClipboard() override;
  HANDLE SetClipboardData(UINT format, HANDLE data) override;
  HANDLE GetClipboardData(UINT format) override;
  HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes) override;
  void* GlobalLock(HGLOBAL memory) override;
  BOOL GlobalUnlock(HGLOBAL memory) override;
  HGLOBAL GlobalFree(HGLOBAL memory) override;
  HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                          int show) override;

  // COM and text (kvwinhost.cpp).
  HRESULT CoInitializeEx(void* reserved, DWORD coInit) override;
  void CoUninitialize() override;
  HRESULT CoCreateGuid(GUID* guid) override;
  std::string WideToAnsi(const WCHAR* text, std::size_t length) override;
};

}  // namespace kv::win32
