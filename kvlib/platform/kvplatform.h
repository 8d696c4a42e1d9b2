// The platform seam: every operation that the library and the programs' portable
// logic ask of the operating system.
//
// It has two halves.
//  * TkvMachine: the machine being inspected and changed — USB host controllers
//    and hubs (CreateFileA/DeviceIoControl on device paths), the services bound
//    at run time (LoadLibraryA/GetProcAddress: SetupAPI, cfgmgr32, ntdll, newdev,
//    WinUSB), the registry, drives, the Windows version and the processes the
//    library starts. Implementations: the real Win32 one (Windows builds) and a
//    simulated machine loaded from a machine description (all builds).
//  * TkvHost: the process the library runs in — files, the temp folder, the
//    environment, the program's own resources and version record, events, time,
//    debug output, windows, messages and timers, COM. Implementations: Win32
//    (Windows builds) and POSIX (other builds).
//
// Contract shared by every operation: the Win32 name, argument order, return
// convention and last-error behaviour. A failing operation leaves its reason in
// the calling thread's last error (kv::GetLastError), exactly as Win32 does;
// registry and configuration-manager calls return their status instead.
// Operations may be called from any thread unless a comment says otherwise.
#pragma once

#include "kvwintypes.h"

#include <cstddef>
#include <string>

namespace kv {

// The calling thread's last error. On Windows these are the system's own.
DWORD GetLastError();
void SetLastError(DWORD code);

class TkvMachine {
 public:
  virtual ~TkvMachine() = default;

  // Run-time binding. Names are matched without regard to case, with or without
  // ".dll". The entry points returned follow the Win32 prototypes and the KVAPI
  // calling convention; they stay valid while the machine is installed.
  virtual HMODULE LoadLibraryA(LPCSTR name) = 0;
  virtual FARPROC GetProcAddress(HMODULE module, LPCSTR name) = 0;
  virtual BOOL FreeLibrary(HMODULE module) = 0;

  // Device paths ("\\.\HCD0", "\\.\<hub name>", device interface paths).
  virtual HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa,
                             DWORD disposition, DWORD flags, HANDLE templ) = 0;
  virtual BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                               DWORD outSize, DWORD* returned, OVERLAPPED* overlapped) = 0;
  // Closes device, process and thread handles of this machine.
  virtual BOOL CloseHandle(HANDLE handle) = 0;

  // Registry: results are Win32 error codes (ERROR_SUCCESS on success); the
  // last error is not touched.
  virtual LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, HKEY* result) = 0;
  virtual LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options,
                               REGSAM access, SECURITY_ATTRIBUTES* sa, HKEY* result,
                               DWORD* disposition) = 0;
  virtual LONG RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                                DWORD* size) = 0;
  virtual LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD size) = 0;
  virtual LONG RegDeleteValueA(HKEY key, LPCSTR valueName) = 0;
  virtual LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved,
                             DWORD* type, BYTE* data, DWORD* dataSize) = 0;
  virtual LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved,
                             LPSTR cls, DWORD* clsSize, void* lastWrite) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;

  // Drives and the Windows version.
  virtual DWORD GetLogicalDrives() = 0;
  virtual UINT GetDriveTypeA(LPCSTR rootPath) = 0;
  virtual BOOL GetVersionExA(OSVERSIONINFOA* info) = 0;
  // TRUE when this is a 32-bit process on 64-bit Windows.
  virtual BOOL IsWow64() = 0;

  // Processes the library starts (the stub, installers).
  virtual BOOL CreateProcessA(LPCSTR application, LPSTR commandLine, SECURITY_ATTRIBUTES* processSa,
                              SECURITY_ATTRIBUTES* threadSa, BOOL inheritHandles, DWORD flags,
                              void* environment, LPCSTR directory, STARTUPINFOA* startup,
                              PROCESS_INFORMATION* info) = 0;
  // Waits for a process or thread handle of this machine.
  virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
  virtual BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) = 0;

  // The machine this one forwards to (a recording machine names the machine
  // it records), so that entry points handed out below can find their own
  // machine while a forwarding one is installed. nullptr for a machine of its
  // own.
  virtual TkvMachine* Below() { return nullptr; }
};

class TkvHost {
 public:
  virtual ~TkvHost() = default;

  // Files and folders of this process's file system.
  virtual HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa,
                             DWORD disposition, DWORD flags, HANDLE templ) = 0;
  virtual BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov) = 0;
  virtual BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
                         OVERLAPPED* ov) = 0;
  virtual DWORD GetFileSize(HANDLE file, DWORD* high) = 0;
  // Closes file and event handles of the host.
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  virtual BOOL DeleteFileA(LPCSTR name) = 0;
  virtual BOOL CreateDirectoryA(LPCSTR name, SECURITY_ATTRIBUTES* sa) = 0;
  virtual BOOL RemoveDirectoryA(LPCSTR name) = 0;
  virtual DWORD GetFileAttributesA(LPCSTR name) = 0;
  virtual DWORD GetTempPathA(DWORD size, LPSTR buffer) = 0;
  virtual DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) = 0;
  virtual BOOL SetCurrentDirectoryA(LPCSTR path) = 0;
  virtual DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) = 0;
  // Copies and deletes through the shell. Returns 0 on success.
  virtual int SHFileOperationA(SHFILEOPSTRUCTA* op) = 0;

  // The program's own module, its resources and version records.
  virtual HMODULE GetModuleHandleA(LPCSTR name) = 0;
  virtual DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) = 0;
  virtual HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) = 0;
  virtual HGLOBAL LoadResource(HMODULE module, HRSRC res) = 0;
  virtual void* LockResource(HGLOBAL data) = 0;
  virtual DWORD SizeofResource(HMODULE module, HRSRC res) = 0;
  virtual DWORD GetFileVersionInfoSizeA(LPCSTR fileName, DWORD* handle) = 0;
  virtual BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD size, void* data) = 0;
  virtual BOOL VerQueryValueA(const void* block, LPCSTR subBlock, void** buffer, UINT* length) = 0;

  // Events and waits on host handles.
  virtual HANDLE CreateEventA(SECURITY_ATTRIBUTES* sa, BOOL manualReset, BOOL initialState,
                              LPCSTR name) = 0;
  virtual BOOL SetEvent(HANDLE event) = 0;
  virtual BOOL ResetEvent(HANDLE event) = 0;
  virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
  // WAIT_OBJECT_0 + the index of the first signalled handle (of all with
  // waitAll), WAIT_TIMEOUT, or WAIT_FAILED; at most MAXIMUM_WAIT_OBJECTS.
  virtual DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) = 0;

  // Time and debug output.
  virtual DWORD GetTickCount() = 0;
  virtual void Sleep(DWORD milliseconds) = 0;
  virtual void OutputDebugStringA(LPCSTR text) = 0;
  virtual void OutputDebugStringW(const WCHAR* text) = 0;

  // The text of a system message (FORMAT_MESSAGE_FROM_SYSTEM, as a rule with
  // FORMAT_MESSAGE_IGNORE_INSERTS), or of a message text given as Source
  // (FORMAT_MESSAGE_FROM_STRING). Arguments is the Win32 va_list pointer or,
  // with FORMAT_MESSAGE_ARGUMENT_ARRAY, an array of DWORD_PTR. With
  // FORMAT_MESSAGE_ALLOCATE_BUFFER, Buffer receives a block that LocalFree
  // gives back. Returns the characters written without the closing zero, 0
  // on failure (ERROR_MR_MID_NOT_FOUND for a code without a message).
  virtual DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, LPSTR buffer,
                               DWORD size, void* arguments) = 0;
  virtual void* LocalFree(void* memory) = 0;

  // Windows, messages and timers: the subset that the library's hidden windows,
  // its terminal and its timer need. A window belongs to the thread that
  // created it; its procedure runs on that thread, from DispatchMessageA or from
  // SendMessageA (a SendMessageA from another thread waits until the owning
  // thread has handled the message in its message loop).
  virtual UINT RegisterClassA(const WNDCLASSA* cls) = 0;  // atom, 0 on failure
  virtual HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x,
                               int y, int width, int height, HWND parent, void* menu,
                               HINSTANCE instance, void* param) = 0;
  virtual BOOL DestroyWindow(HWND window) = 0;
  virtual BOOL IsWindow(HWND window) = 0;
  virtual LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) = 0;
  virtual LONG_PTR GetWindowLongPtrA(HWND window, int index) = 0;
  virtual LRESULT CallWindowProcA(WNDPROC proc, HWND window, UINT msg, WPARAM wParam,
                                  LPARAM lParam) = 0;
  virtual LRESULT DefWindowProcA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  virtual LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  // True while this thread's window procedure handles a message that another
  // thread sent (not one it sent itself, and not a posted one).
  virtual BOOL InSendMessage() = 0;
  virtual BOOL PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  virtual BOOL GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax) = 0;
  virtual BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) = 0;
  virtual BOOL TranslateMessage(const MSG* msg) = 0;
  virtual LRESULT DispatchMessageA(const MSG* msg) = 0;
  virtual void PostQuitMessage(int exitCode) = 0;
  virtual UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, void* timerProc) = 0;
  virtual BOOL KillTimer(HWND window, UINT_PTR id) = 0;
  virtual HWND GetForegroundWindow() = 0;
  virtual DWORD GetCurrentThreadId() = 0;
  virtual int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) = 0;
  // The top-level windows (message-only windows are not among them), as
  // EnumWindows lists them: every process's on Windows, so a caller that
  // wants its own compares GetWindowThreadProcessId with GetCurrentProcessId.
  virtual BOOL EnumWindows(WNDENUMPROC proc, LPARAM param) = 0;
  virtual DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) = 0;
  virtual DWORD GetCurrentProcessId() = 0;

  // The clipboard. SetClipboardData takes a GlobalAlloc(GMEM_MOVEABLE) block
  // and owns it on success. The POSIX host keeps a clipboard of its own
  // process (CF_TEXT only); kv::SetClipboardText/GetClipboardText
  // (kvutils.h) wrap the sequence.
  virtual BOOL OpenClipboard(HWND owner) = 0;
  virtual BOOL CloseClipboard() = 0;
  virtual BOOL EmptyClipboard() = 0;
  virtual HANDLE SetClipboardData(UINT format, HANDLE data) = 0;
  virtual HANDLE GetClipboardData(UINT format) = 0;
  virtual HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes) = 0;
  virtual void* GlobalLock(HGLOBAL memory) = 0;
  virtual BOOL GlobalUnlock(HGLOBAL memory) = 0;
  virtual HGLOBAL GlobalFree(HGLOBAL memory) = 0;

  // Opens a document or address with the shell. A result above 32 is success.
  // The POSIX host opens nothing: it records the call (kvposixhost.h) and
  // answers 42.
  virtual HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                  LPCSTR directory, int show) = 0;

  // COM on the calling thread, and GUID generation.
  virtual HRESULT CoInitializeEx(void* reserved, DWORD coInit) = 0;
  virtual void CoUninitialize() = 0;
  virtual HRESULT CoCreateGuid(GUID* guid) = 0;

  // Text conversion with the host's ANSI code page. Unmappable characters
  // become '?'; the result is always complete and never overruns.
  virtual std::string WideToAnsi(const WCHAR* text, std::size_t length) = 0;
};

// The installed halves. Programs install theirs at start; tests install a
// simulated machine for their duration. Until something is installed, the
// default is the real machine on Windows and the built-in demo machine
// elsewhere, and the native host of the build.
TkvMachine& Machine();
TkvHost& Host();
// Installs a machine (not owned; nullptr restores the default) and returns the
// previous one. Not to be called while another thread uses the seam.
TkvMachine* SetMachine(TkvMachine* machine);
TkvHost* SetHost(TkvHost* host);

// Installs a machine for the lifetime of this object.
class TkvMachineScope {
 public:
  explicit TkvMachineScope(TkvMachine& machine) : FPrevious(SetMachine(&machine)) {}
  ~TkvMachineScope() { SetMachine(FPrevious); }
  TkvMachineScope(const TkvMachineScope&) = delete;
  TkvMachineScope& operator=(const TkvMachineScope&) = delete;

 private:
  TkvMachine* FPrevious;
};

// The native implementations of the build, created on first use.
TkvHost& NativeHost();
// The real machine of a Windows build; nullptr in other builds.
TkvMachine* RealMachine();
// The machine Machine() returns until one is installed. The seam only
// declares it: the choice is made beside the implementations
// (kvlib/kvdefaultmachine.cpp).
TkvMachine& DefaultMachine();

}  // namespace kv

namespace kv {
// Changes whenever another machine is installed; bindings made through
// GetProcAddress remember it and bind afresh on a change.
unsigned MachineGeneration();

// Called by SetMachine just before another machine is installed, while
// Machine() is still the outgoing one, so that a binding gives back the
// library references it took from it: once replaced, a machine may be
// destroyed at any time. A binding registers once, at static
// initialisation (at most 8 of them); the hook runs on the installing
// thread, which no other thread shares the seam with.
using TkvMachineReleaseHook = void (*)();
void AddMachineReleaseHook(TkvMachineReleaseHook hook);
// A binding's static registration: the hook runs whenever the machine is
// replaced, and once more at program end for what is still bound then.
struct TkvMachineRelease {
  explicit TkvMachineRelease(TkvMachineReleaseHook hook) : Hook(hook) { AddMachineReleaseHook(hook); }
  ~TkvMachineRelease() { Hook(); }
  TkvMachineRelease(const TkvMachineRelease&) = delete;
  TkvMachineRelease& operator=(const TkvMachineRelease&) = delete;
  TkvMachineReleaseHook Hook;
};
}  // namespace kv
