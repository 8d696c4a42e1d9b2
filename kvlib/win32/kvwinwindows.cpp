// The Win32 host: windows, messages and timers.
#include "kvwinnative.h"
#include "kvwin32.h"

namespace kv::win32 {

UINT TWin32Host::RegisterClassA(const WNDCLASSA* cls) { return ::RegisterClassA(W(cls)); }

HWND TWin32Host::CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                                 int width, int height, HWND parent, void* menu, HINSTANCE instance,
                                 void* param) {
  return K(::CreateWindowExA(exStyle, className, windowName, style, x, y, width, height, W(parent),
                             static_cast<::HMENU>(menu), W(instance), param));
}

BOOL TWin32Host::DestroyWindow(HWND window) { return ::DestroyWindow(W(window)); }

BOOL TWin32Host::IsWindow(HWND window) { return ::IsWindow(W(window)); }

LONG_PTR TWin32Host::SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
  return SystemSetWindowLongPtr(W(window), index, value);
}

LONG_PTR TWin32Host::GetWindowLongPtrA(HWND window, int index) {
  return SystemGetWindowLongPtr(W(window), index);
}

LRESULT TWin32Host::CallWindowProcA(WNDPROC proc, HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::CallWindowProcA(W(proc), W(window), msg, wParam, lParam);
}

LRESULT TWin32Host::DefWindowProcA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::DefWindowProcA(W(window), msg, wParam, lParam);
}

LRESULT TWin32Host::SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageA(W(window), msg, wParam, lParam);
}

BOOL TWin32Host::InSendMessage() { return ::InSendMessage(); }

BOOL TWin32Host::PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageA(W(window), msg, wParam, lParam);
}

BOOL TWin32Host::GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
  return ::GetMessageA(W(msg), W(window), filterMin, filterMax);
}

BOOL TWin32Host::PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) {
  return ::PeekMessageA(W(msg), W(window), filterMin, filterMax, remove);
}

BOOL TWin32Host::TranslateMessage(const MSG* msg) { return ::TranslateMessage(W(msg)); }

LRESULT TWin32Host::DispatchMessageA(const MSG* msg) { return ::DispatchMessageA(W(msg)); }

void TWin32Host::PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

UINT_PTR TWin32Host::SetTimer(HWND window, UINT_PTR id, UINT elapse, void* timerProc) {
  // The seam carries the callback untyped; it is a TIMERPROC.
  return ::SetTimer(W(window), id, elapse, reinterpret_cast<::TIMERPROC>(timerProc));
}

BOOL TWin32Host::KillTimer(HWND window, UINT_PTR id) { return ::KillTimer(W(window), id); }

HWND TWin32Host::GetForegroundWindow() { return K(::GetForegroundWindow()); }

DWORD TWin32Host::GetCurrentThreadId() { return ::GetCurrentThreadId(); }

int TWin32Host::MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  return ::MessageBoxA(W(owner), text, caption, type);
}

BOOL TWin32Host::EnumWindows(WNDENUMPROC proc, LPARAM param) {
  return ::EnumWindows(reinterpret_cast<::WNDENUMPROC>(proc), param);
}

DWORD TWin32Host::GetWindowThreadProcessId(HWND window, DWORD* processId) {
  return ::GetWindowThreadProcessId(W(window), W(processId));
}

DWORD TWin32Host::GetCurrentProcessId() { return ::GetCurrentProcessId(); }

BOOL TWin32Host::OpenClipboard(HWND owner) { return ::OpenClipboard(W(owner)); }

BOOL TWin32Host::CloseClipboard() { return ::CloseClipboard(); }

BOOL TWin32Host::EmptyClipboard() { return ::EmptyClipboard(); }

HANDLE TWin32Host::SetClipboardData(UINT format, HANDLE data) { return ::SetClipboardData(format, data); }

HANDLE TWin32Host::GetClipboardData(UINT format) { return ::GetClipboardData(format); }

HGLOBAL TWin32Host::GlobalAlloc(UINT flags, std::size_t bytes) { return ::GlobalAlloc(flags, bytes); }

void* TWin32Host::GlobalLock(HGLOBAL memory) { return ::GlobalLock(memory); }

BOOL TWin32Host::GlobalUnlock(HGLOBAL memory) { return ::GlobalUnlock(memory); }

HGLOBAL TWin32Host::GlobalFree(HGLOBAL memory) { return ::GlobalFree(memory); }

HINSTANCE TWin32Host::ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                                    int show) {
  return K(::ShellExecuteA(W(owner), verb, file, parameters, directory, show));
}

}  // namespace kv::win32
