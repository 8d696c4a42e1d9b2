// The Win32 host: the process's files, resources, events, time, COM and text.
// Windows, messages and timers are in kvwinwindows.cpp.
#include "kvwinnative.h"
#include "kvwin32.h"

#include <climits>

namespace kv {

TkvHost& NativeHost() {
  // Never destroyed: destructors of other static objects may still close
  // handles or write debug output through it at exit.
  static win32::TWin32Host* const host = new win32::TWin32Host();
  return *host;
}

namespace host {
// The program's resources and version record come from its .rc file, linked
// into the executable; nothing needs registering. Kept so that the generated
// registration code builds on every host.
void RegisterResource(const char*, int, const void*, std::size_t) {}
void RegisterVersion(unsigned, unsigned, unsigned, unsigned) {}
void RegisterVersionString(const char*, const char*) {}
}  // namespace host

namespace win32 {

// ---- files and folders ---------------------------------------------------------

HANDLE TWin32Host::CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa,
                               DWORD disposition, DWORD flags, HANDLE templ) {
  return ::CreateFileA(name, access, share, W(sa), disposition, flags, templ);
}

BOOL TWin32Host::ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov) {
  return ::ReadFile(file, buffer, toRead, W(read), W(ov));
}

BOOL TWin32Host::WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ov) {
  return ::WriteFile(file, buffer, toWrite, W(written), W(ov));
}

DWORD TWin32Host::GetFileSize(HANDLE file, DWORD* high) { return ::GetFileSize(file, W(high)); }

BOOL TWin32Host::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

BOOL TWin32Host::DeleteFileA(LPCSTR name) { return ::DeleteFileA(name); }

BOOL TWin32Host::CreateDirectoryA(LPCSTR name, SECURITY_ATTRIBUTES* sa) {
  return ::CreateDirectoryA(name, W(sa));
}

BOOL TWin32Host::RemoveDirectoryA(LPCSTR name) { return ::RemoveDirectoryA(name); }

DWORD TWin32Host::GetFileAttributesA(LPCSTR name) { return ::GetFileAttributesA(name); }

DWORD TWin32Host::GetTempPathA(DWORD size, LPSTR buffer) { return ::GetTempPathA(size, buffer); }

DWORD TWin32Host::GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
  return ::GetCurrentDirectoryA(size, buffer);
}

BOOL TWin32Host::SetCurrentDirectoryA(LPCSTR path) { return ::SetCurrentDirectoryA(path); }

DWORD TWin32Host::GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  return ::GetEnvironmentVariableA(name, buffer, size);
}

int TWin32Host::SHFileOperationA(SHFILEOPSTRUCTA* op) { return ::SHFileOperationA(W(op)); }

// ---- the module, resources and version records ----------------------------------

HMODULE TWin32Host::GetModuleHandleA(LPCSTR name) { return K(::GetModuleHandleA(name)); }

DWORD TWin32Host::GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  return ::GetModuleFileNameA(W(module), buffer, size);
}

HRSRC TWin32Host::FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  return K(::FindResourceA(W(module), name, type));
}

HGLOBAL TWin32Host::LoadResource(HMODULE module, HRSRC res) { return ::LoadResource(W(module), W(res)); }

void* TWin32Host::LockResource(HGLOBAL data) { return ::LockResource(data); }

DWORD TWin32Host::SizeofResource(HMODULE module, HRSRC res) { return ::SizeofResource(W(module), W(res)); }

DWORD TWin32Host::GetFileVersionInfoSizeA(LPCSTR fileName, DWORD* handle) {
  return ::GetFileVersionInfoSizeA(fileName, W(handle));
}

BOOL TWin32Host::GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD size, void* data) {
  return ::GetFileVersionInfoA(fileName, handle, size, data);
}

BOOL TWin32Host::VerQueryValueA(const void* block, LPCSTR subBlock, void** buffer, UINT* length) {
  return ::VerQueryValueA(block, subBlock, buffer, length);
}

// ---- events, time and debug output -----------------------------------------------

HANDLE TWin32Host::CreateEventA(SECURITY_ATTRIBUTES* sa, BOOL manualReset, BOOL initialState, LPCSTR name) {
  return ::CreateEventA(W(sa), manualReset, initialState, name);
}

BOOL TWin32Host::SetEvent(HANDLE event) { return ::SetEvent(event); }

BOOL TWin32Host::ResetEvent(HANDLE event) { return ::ResetEvent(event); }

DWORD TWin32Host::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return ::WaitForSingleObject(handle, milliseconds);
}

DWORD TWin32Host::WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  return ::WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

DWORD TWin32Host::GetTickCount() { return ::GetTickCount(); }

void TWin32Host::Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

void TWin32Host::OutputDebugStringA(LPCSTR text) { ::OutputDebugStringA(text); }

void TWin32Host::OutputDebugStringW(const WCHAR* text) {
  static_assert(sizeof(wchar_t) == sizeof(WCHAR), "wchar_t is UTF-16 on Windows");
  ::OutputDebugStringW(reinterpret_cast<const wchar_t*>(text));
}

// ---- COM -------------------------------------------------------------------------

HRESULT TWin32Host::CoInitializeEx(void* reserved, DWORD coInit) { return ::CoInitializeEx(reserved, coInit); }

void TWin32Host::CoUninitialize() { ::CoUninitialize(); }

HRESULT TWin32Host::CoCreateGuid(GUID* guid) { return ::CoCreateGuid(W(guid)); }

// ---- text ------------------------------------------------------------------------

namespace {

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }

// What is left when the system refuses a conversion outright: ASCII survives,
// everything else becomes '?', so the result is still complete.
void AppendAsciiOnly(std::string& out, const WCHAR* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const WCHAR c = text[i];
    if (IsHighSurrogate(c) && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) ++i;
    out += c < 0x80 ? static_cast<char>(c) : '?';
  }
}

void AppendConverted(std::string& out, const WCHAR* text, int length, UINT codePage) {
  // UTF-8 (and UTF-7) take neither a default character nor flags; there
  // every character maps, and lone surrogates become U+FFFD.
  const bool utf = codePage == CP_UTF8 || codePage == CP_UTF7;
  const ::DWORD flags = utf ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* defaultChar = utf ? nullptr : "?";
  const auto* wide = reinterpret_cast<const wchar_t*>(text);

  TLastErrorKeeper keep;
  const int needed = ::WideCharToMultiByte(codePage, flags, wide, length, nullptr, 0, defaultChar, nullptr);
  if (needed <= 0) {
    AppendAsciiOnly(out, text, static_cast<std::size_t>(length));
    return;
  }
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(needed));
  const int written =
      ::WideCharToMultiByte(codePage, flags, wide, length, &out[start], needed, defaultChar, nullptr);
  if (written != needed) {
    out.resize(start);
    AppendAsciiOnly(out, text, static_cast<std::size_t>(length));
  }
}

}  // namespace

std::string WideToAnsi(const WCHAR* text, std::size_t length, UINT codePage, std::size_t maxChunk) {
  std::string out;
  if (text == nullptr || length == 0) return out;
  // A DBCS character takes two bytes and a UTF-16 unit at most three in
  // UTF-8: pieces of INT_MAX / 4 units keep both sides within int.
  std::size_t chunk = maxChunk < static_cast<std::size_t>(INT_MAX / 4) ? maxChunk : INT_MAX / 4;
  if (chunk < 2) chunk = 2;  // room for a surrogate pair
  out.reserve(length);
  while (length > 0) {
    std::size_t piece = length < chunk ? length : chunk;
    if (piece < length && IsHighSurrogate(text[piece - 1])) --piece;
    AppendConverted(out, text, static_cast<int>(piece), codePage);
    text += piece;
    length -= piece;
  }
  return out;
}

std::string TWin32Host::WideToAnsi(const WCHAR* text, std::size_t length) {
  return win32::WideToAnsi(text, length, ::GetACP(), INT_MAX / 4);
}

}  // namespace win32
}  // namespace kv
