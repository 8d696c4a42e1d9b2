// A host that forwards every call to another one. A test derives from it
// and overrides the one call it wants to change (a file operation that fails,
// say), so the same test runs over the POSIX host and over Windows.
#pragma once

#include "kvplatform.h"

namespace kv {

class TkvForwardingHost : public TkvHost {
 public:
  explicit TkvForwardingHost(TkvHost& inner) : FInner(inner) {}
  TkvHost& Inner() const { return FInner; }

  HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa, DWORD disposition, DWORD flags,
                     HANDLE templ) override {
    return FInner.CreateFileA(name, access, share, sa, disposition, flags, templ);
  }
  BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov) override {
    return FInner.ReadFile(file, buffer, toRead, read, ov);
  }
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ov) override {
    return FInner.WriteFile(file, buffer, toWrite, written, ov);
  }
  DWORD GetFileSize(HANDLE file, DWORD* high) override { return FInner.GetFileSize(file, high); }
  BOOL CloseHandle(HANDLE handle) override { return FInner.CloseHandle(handle); }
  BOOL DeleteFileA(LPCSTR name) override { return FInner.DeleteFileA(name); }
  BOOL CreateDirectoryA(LPCSTR name, SECURITY_ATTRIBUTES* sa) override { return FInner.CreateDirectoryA(name, sa); }
  BOOL RemoveDirectoryA(LPCSTR name) override { return FInner.RemoveDirectoryA(name); }
  DWORD GetFileAttributesA(LPCSTR name) override { return FInner.GetFileAttributesA(name); }
  DWORD GetTempPathA(DWORD size, LPSTR buffer) override { return FInner.GetTempPathA(size, buffer); }
  DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) override { return FInner.GetCurrentDirectoryA(size, buffer); }
  BOOL SetCurrentDirectoryA(LPCSTR path) override { return FInner.SetCurrentDirectoryA(path); }
  DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) override {
    return FInner.GetEnvironmentVariableA(name, buffer, size);
  }
  int SHFileOperationA(SHFILEOPSTRUCTA* op) override { return FInner.SHFileOperationA(op); }
  HMODULE GetModuleHandleA(LPCSTR name) override { return FInner.GetModuleHandleA(name); }
  DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) override {
    return FInner.GetModuleFileNameA(module, buffer, size);
  }
  HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) override {
    return FInner.FindResourceA(module, name, type);
  }
  HGLOBAL LoadResource(HMODULE module, HRSRC res) override { return FInner.LoadResource(module, res); }
  void* LockResource(HGLOBAL data) override { return FInner.LockResource(data); }
  DWORD SizeofResource(HMODULE module, HRSRC res) override { return FInner.SizeofResource(module, res); }
  DWORD GetFileVersionInfoSizeA(LPCSTR fileName, DWORD* handle) override {
    return FInner.GetFileVersionInfoSizeA(fileName, handle);
  }
  BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD size, void* data) override {
    return FInner.GetFileVersionInfoA(fileName, handle, size, data);
  }
  BOOL VerQueryValueA(const void* block, LPCSTR subBlock, void** buffer, UINT* length) override {
    return FInner.VerQueryValueA(block, subBlock, buffer, length);
  }
  HANDLE CreateEventA(SECURITY_ATTRIBUTES* sa, BOOL manualReset, BOOL initialState, LPCSTR name) override {
    return FInner.CreateEventA(sa, manualReset, initialState, name);
  }
  BOOL SetEvent(HANDLE event) override { return FInner.SetEvent(event); }
  BOOL ResetEvent(HANDLE event) override { return FInner.ResetEvent(event); }
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override {
    return FInner.WaitForSingleObject(handle, milliseconds);
  }
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) override {
    return FInner.WaitForMultipleObjects(count, handles, waitAll, milliseconds);
  }
  DWORD GetTickCount() override { return FInner.GetTickCount(); }
  DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size, void* arguments) override { return FInner.FormatMessageA(flags, source, messageId, languageId, buffer, size, arguments); }
  void* LocalFree(void* memory) override { return FInner.LocalFree(memory); }
  void Sleep(DWORD milliseconds) override { FInner.Sleep(milliseconds); }
  void OutputDebugStringA(LPCSTR text) override { FInner.OutputDebugStringA(text); }
  void OutputDebugStringW(const WCHAR* text) override { FInner.OutputDebugStringW(text); }
  UINT RegisterClassA(const WNDCLASSA* cls) override { return FInner.RegisterClassA(cls); }
  HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                       int height, HWND parent, void* menu, HINSTANCE instance, void* param) override {
    return FInner.CreateWindowExA(exStyle, className, windowName, style, x, y, width, height, parent, menu, instance,
                                  param);
  }
  BOOL DestroyWindow(HWND window) override { return FInner.DestroyWindow(window); }
  BOOL IsWindow(HWND window) override { return FInner.IsWindow(window); }
  LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) override {
    return FInner.SetWindowLongPtrA(window, index, value);
  }
  LONG_PTR GetWindowLongPtrA(HWND window, int index) override { return FInner.GetWindowLongPtrA(window, index); }
  LRESULT CallWindowProcA(WNDPROC proc, HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
    return FInner.CallWindowProcA(proc, window, msg, wParam, lParam);
  }
  LRESULT DefWindowProcA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
    return FInner.DefWindowProcA(window, msg, wParam, lParam);
  }
  BOOL InSendMessage() override { return FInner.InSendMessage(); }
  LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
    return FInner.SendMessageA(window, msg, wParam, lParam);
  }
  BOOL PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
    return FInner.PostMessageA(window, msg, wParam, lParam);
  }
  BOOL GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax) override {
    return FInner.GetMessageA(msg, window, filterMin, filterMax);
  }
  BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) override {
    return FInner.PeekMessageA(msg, window, filterMin, filterMax, remove);
  }
  BOOL TranslateMessage(const MSG* msg) override { return FInner.TranslateMessage(msg); }
  LRESULT DispatchMessageA(const MSG* msg) override { return FInner.DispatchMessageA(msg); }
  void PostQuitMessage(int exitCode) override { FInner.PostQuitMessage(exitCode); }
  UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, void* timerProc) override {
    return FInner.SetTimer(window, id, elapse, timerProc);
  }
  BOOL KillTimer(HWND window, UINT_PTR id) override { return FInner.KillTimer(window, id); }
  HWND GetForegroundWindow() override { return FInner.GetForegroundWindow(); }
  DWORD GetCurrentThreadId() override { return FInner.GetCurrentThreadId(); }
  int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) override {
    return FInner.MessageBoxA(owner, text, caption, type);
  }
  BOOL EnumWindows(WNDENUMPROC proc, LPARAM param) override { return FInner.EnumWindows(proc, param); }
  DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) override {
    return FInner.GetWindowThreadProcessId(window, processId);
  }
  DWORD GetCurrentProcessId() override { return FInner.GetCurrentProcessId(); }
  BOOL OpenClipboard(HWND owner) override { return FInner.OpenClipboard(owner); }
  BOOL CloseClipboard() override { return FInner.CloseClipboard(); }
  BOOL EmptyClipboard() override { return FInner.EmptyClipboard(); }
  HANDLE SetClipboardData(UINT format, HANDLE data) override { return FInner.SetClipboardData(format, data); }
  HANDLE GetClipboardData(UINT format) override { return FInner.GetClipboardData(format); }
  HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes) override { return FInner.GlobalAlloc(flags, bytes); }
  void* GlobalLock(HGLOBAL memory) override { return FInner.GlobalLock(memory); }
  BOOL GlobalUnlock(HGLOBAL memory) override { return FInner.GlobalUnlock(memory); }
  HGLOBAL GlobalFree(HGLOBAL memory) override { return FInner.GlobalFree(memory); }
  HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                          int show) override {
    return FInner.ShellExecuteA(owner, verb, file, parameters, directory, show);
  }
  HRESULT CoInitializeEx(void* reserved, DWORD coInit) override { return FInner.CoInitializeEx(reserved, coInit); }
  void CoUninitialize() override { FInner.CoUninitialize(); }
  HRESULT CoCreateGuid(GUID* guid) override { return FInner.CoCreateGuid(guid); }
  std::string WideToAnsi(const WCHAR* text, std::size_t length) override { return FInner.WideToAnsi(text, length); }

 private:
  TkvHost& FInner;
};

// The host underneath, with shell file operations that fail or are cancelled
// on request; installed for its lifetime. The first AfterItems items of a
// failing call's source list are still carried out (by the host underneath),
// so a partly done operation can be tested.
class TkvFailingFileOperations : public TkvForwardingHost {
 public:
  explicit TkvFailingFileOperations(TkvHost& inner = Host());
  ~TkvFailingFileOperations() override;

  // The next Count calls fail with Result (a Win32 error code).
  void Fail(unsigned count, int result = 5 /* ERROR_ACCESS_DENIED */, unsigned afterItems = 0);
  // The next Count calls are cancelled as if by the user: ERROR_CANCELLED and
  // fAnyOperationsAborted.
  void Abort(unsigned count, unsigned afterItems = 0);
  // Calls so far, failed ones included.
  unsigned Calls() const { return FCalls; }

  int SHFileOperationA(SHFILEOPSTRUCTA* op) override;

 private:
  unsigned FCount = 0, FAfterItems = 0, FCalls = 0;
  int FResult = 0;
  bool FAbort = false;
  TkvHost* FPrevious;
};

// Installs a host for the lifetime of this object.
class TkvHostScope {
 public:
  explicit TkvHostScope(TkvHost& host) : FPrevious(SetHost(&host)) {}
  ~TkvHostScope() { SetHost(FPrevious); }
  TkvHostScope(const TkvHostScope&) = delete;
  TkvHostScope& operator=(const TkvHostScope&) = delete;

 private:
  TkvHost* FPrevious;
};

}  // namespace kv
