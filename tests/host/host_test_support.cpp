#include "host_test_support.h"

#include <random>

#include "kvplatform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#endif

namespace kvtest {

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  ::SetEnvironmentVariableA(name, value);
#else
  ::setenv(name, value, 1);
#endif
}

void RemoveVariable(const char* name) {
#ifdef _WIN32
  ::SetEnvironmentVariableA(name, nullptr);
#else
  ::unsetenv(name);
#endif
}

namespace {
std::string TempPath() {
  char path[1024];
  const kv::DWORD n = kv::NativeHost().GetTempPathA(sizeof path, path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}
}  // namespace

char TempSeparator() {
  const std::string temp = TempPath();
  return temp.empty() ? '/' : temp.back();
}

std::string MakeTempFolder(const char* prefix) {
  const std::string temp = TempPath();
  if (temp.empty()) return {};
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = temp + prefix + std::to_string(random() % 100000000u);
    if (kv::NativeHost().CreateDirectoryA(name.c_str(), nullptr)) return name;
  }
  return {};
}

}  // namespace kvtest
