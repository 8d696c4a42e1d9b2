// What the Windows tests need from the system beyond the seam (deleting a key
// tree, setting a variable...). Declared with our types only, so the tests
// themselves talk to the system through the seam as the library does.
#pragma once

#include "kvplatform.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace kvtest {

// Sentinel for the last error before a call, as Wine's conformance tests do.
constexpr kv::DWORD kSentinel = 0xdeadbeef;
// Fill byte of output buffers: what is still this after a call was not written.
constexpr unsigned char kPattern = 0xA5;

// A buffer filled with kPattern, with a guard area after the part the call
// is told about.
class TPatternBuffer {
 public:
  explicit TPatternBuffer(std::size_t size, std::size_t guard = 16) : FSize(size), FBytes(size + guard, kPattern) {}
  char* chars() { return reinterpret_cast<char*>(FBytes.data()); }
  unsigned char* bytes() { return FBytes.data(); }
  kv::DWORD size() const { return static_cast<kv::DWORD>(FSize); }
  // True when no byte from index `from` on (the guard included) was written.
  bool UntouchedFrom(std::size_t from) const {
    for (std::size_t i = from; i < FBytes.size(); ++i)
      if (FBytes[i] != kPattern) return false;
    return true;
  }
  bool GuardUntouched() const { return UntouchedFrom(FSize); }

 private:
  std::size_t FSize;
  std::vector<unsigned char> FBytes;
};

// Deletes a registry key with everything below it; no error if it is missing.
void DeleteKeyTree(kv::HKEY root, const char* subKey);
// Sets (value non-null) or removes a variable of this process's environment.
void SetProcessVariable(const char* name, const char* value);
// The parent that makes a window message-only: such windows need no display,
// so they work under Wine on a machine without X.
kv::HWND MessageOnlyParent();
// The system's ANSI code page.
kv::UINT AnsiCodePage();
// Folder of this test program, with a trailing backslash.
std::string ProgramFolder();

}  // namespace kvtest
