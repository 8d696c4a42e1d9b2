// What tests (and programs built for POSIX) may ask of the POSIX host beyond
// the platform seam: what it captured instead of showing it and switches for
// its ANSI code page. Failures on request come from a forwarding host
// (kvforwardinghost.h) over it, so they work over the Windows host too.
//
// Only non-Windows builds have these functions; a test that uses them belongs
// to the native build (kv_add_gtest ... NATIVE_ONLY).
#pragma once

#include "kvresources.h"  // SetAnsiCodePage
#include "kvwintypes.h"

#include <string>
#include <vector>

namespace kv::host {

// The ANSI code page that WideToAnsi and OutputDebugStringW use: 1252 unless
// SetAnsiCodePage chose 1250, 1251 or 65001 (UTF-8). Other values are ignored.
unsigned AnsiCodePage();

// Everything written with OutputDebugStringA/W since the last clear (the most
// recent megabyte of it). Also copied to stderr when the environment variable
// KV_DEBUG_OUTPUT is 1.
std::string DebugOutput();
void ClearDebugOutput();

// Message boxes "shown" since the last clear; each was answered with IDOK.
struct TkvMessageBoxRecord {
  std::string Text;
  std::string Caption;
  UINT Type;
};
std::vector<TkvMessageBoxRecord> MessageBoxes();
void ClearMessageBoxes();

// The calls of ShellExecuteA since the last clear (nothing is opened).
struct TkvShellExecuteRecord {
  HWND Owner;
  std::string Verb, File, Parameters, Directory;
  int Show;
};
std::vector<TkvShellExecuteRecord> ShellExecutes();
void ClearShellExecutes();

// The text on the host's clipboard (CF_TEXT, up to its first zero), "" when
// it holds none.
std::string ClipboardText();

// True for a handle that the POSIX host gave out (file or event) and that is
// still open.
bool IsHostHandle(HANDLE handle);

}  // namespace kv::host
