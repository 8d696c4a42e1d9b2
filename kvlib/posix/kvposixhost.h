// What tests (and programs built for POSIX) may ask of the POSIX host beyond
// the platform seam: what it captured instead of showing it, switches for its
// ANSI code page, and failures it can be told to produce.
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

// Makes the next Count calls of SHFileOperationA fail with Result (a Win32
// error code), or be cancelled as if the user had pressed Cancel (result
// ERROR_CANCELLED, fAnyOperationsAborted TRUE). The first AfterItems items of
// each such call's source list are still carried out, so a partly done
// operation can be tested. A later call replaces an earlier one's settings.
void FailNextFileOperations(unsigned count, int result = 5 /* ERROR_ACCESS_DENIED */, unsigned afterItems = 0);
void AbortNextFileOperations(unsigned count, unsigned afterItems = 0);
void ClearFileOperationFaults();
// Calls of SHFileOperationA so far, failed ones included.
unsigned FileOperationCount();

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
