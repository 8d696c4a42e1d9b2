#include "kvwintestsupport.h"

#include <windows.h>

namespace kvtest {

void DeleteKeyTree(kv::HKEY root, const char* subKey) {
  ::RegDeleteTreeA(reinterpret_cast<::HKEY>(root), subKey);
  ::RegDeleteKeyA(reinterpret_cast<::HKEY>(root), subKey);
}

void SetProcessVariable(const char* name, const char* value) { ::SetEnvironmentVariableA(name, value); }

kv::HWND MessageOnlyParent() { return reinterpret_cast<kv::HWND>(HWND_MESSAGE); }

kv::UINT AnsiCodePage() { return ::GetACP(); }

std::string ProgramFolder() {
  char path[MAX_PATH * 4];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length < sizeof path ? length : 0);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

}  // namespace kvtest
