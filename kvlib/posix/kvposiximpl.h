// The POSIX host's own declarations, shared by its source files only.
//
// TkvPosixHost answers the host half of the platform seam with Win32 semantics
// on top of POSIX: its members are spread over kvposixfiles.cpp (files, folders,
// environment, shell file operations), kvposixres.cpp (resources, version
// record), kvposixwindows.cpp and kvposixedit.cpp (windows, messages, timers,
// the built-in controls), kvposixhost.cpp (handles, events, time, debug output,
// message boxes, COM) and kvcodepage.cpp (ANSI conversion).
#pragma once

#include "kvplatform.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace kv {

class TkvPosixHost final : public TkvHost {
 public:
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

  HMODULE GetModuleHandleA(LPCSTR name) override;
  DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) override;
  HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) override;
  HGLOBAL LoadResource(HMODULE module, HRSRC res) override;
  void* LockResource(HGLOBAL data) override;
  DWORD SizeofResource(HMODULE module, HRSRC res) override;
  DWORD GetFileVersionInfoSizeA(LPCSTR fileName, DWORD* handle) override;
  BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD size, void* data) override;
  BOOL VerQueryValueA(const void* block, LPCSTR subBlock, void** buffer, UINT* length) override;

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

  HRESULT CoInitializeEx(void* reserved, DWORD coInit) override;
  void CoUninitialize() override;
  HRESULT CoCreateGuid(GUID* guid) override;

  std::string WideToAnsi(const WCHAR* text, std::size_t length) override;
};

namespace posix {

// Win32 values that kvwinconst.h does not carry.
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_MESSAGE_SYNC_ONLY = 1159;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_TLW_WITH_WSCHILD = 1406;
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

// The host's kernel objects (files, events) behind its handles.
struct THostObject {
  virtual ~THostObject() = default;
};

// Handle values of the host lie in [kHandleFirst, kHandleLast) in steps of 4 and
// are never reused, so a stale or foreign handle is recognised, and none of
// them looks like a small integer, -1 or a pseudo handle.
constexpr ULONG_PTR kHandleFirst = 0x48000000u;
constexpr ULONG_PTR kHandleLast = 0x57000000u;
HANDLE AddHandle(std::shared_ptr<THostObject> object);
std::shared_ptr<THostObject> FindHandle(HANDLE handle);
std::shared_ptr<THostObject> TakeHandle(HANDLE handle);  // removes it from the table
template <class T>
std::shared_ptr<T> FindHandleOf(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindHandle(handle));
}

// Closes a file object's sharing claim (kvposixfiles.cpp); called on CloseHandle.
void ReleaseFile(THostObject& object);

// The Win32 error closest to an errno value.
DWORD ErrorFromErrno(int error);
// A Win32 path as a POSIX one: backslashes become slashes. Drive letters are
// not translated ("C:\x" names the relative path "C:/x").
std::string NativePath(LPCSTR path);
// The running program's file, as GetModuleFileNameA reports it.
std::string ExecutablePath();
// Copies Text by the Win32 buffer convention of GetTempPathA and friends: the
// length without the zero when it fits, otherwise the size needed with it.
DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size);

// Converts UTF-16 with a given code page (1250, 1251, 1252 or 65001).
std::string WideToCodePage(const WCHAR* text, std::size_t length, unsigned codePage);
unsigned CurrentAnsiCodePage();

// The program's own module as GetModuleHandleA(nullptr) returns it: the
// address where a Windows program's image usually lies, outside the ranges of
// host handles and windows.
inline HMODULE OwnModule() { return reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x00400000u)); }

// What a window keeps for DefWindowProcA and the built-in controls.
struct TWindowData {
  std::string Text;
  DWORD Style = 0;
  // The edit control's selection, in bytes: Anchor is where it started, Caret
  // where it ends (either may be the larger).
  std::size_t Anchor = 0;
  std::size_t Caret = 0;
  // Most bytes that typing and EM_REPLACESEL may make the edit hold; Windows'
  // default, so a log window that never raises it fills up here as it does there.
  std::size_t Limit = 30000;
};
// Runs Fn on the window's data under the windows' lock; false when there is no
// such window. Fn must not call back into the host.
bool WithWindowData(HWND window, const std::function<void(TWindowData&)>& fn);
// The default window procedure (DefWindowProcA).
LRESULT DefProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

// The procedures of the built-in window classes (kvposixedit.cpp).
LRESULT KVAPI EditProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT KVAPI StaticProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

}  // namespace posix
}  // namespace kv
