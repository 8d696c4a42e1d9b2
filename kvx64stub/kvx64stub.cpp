// kvX64stub: a windowless 64-bit program that carries out one device request
// for the 32-bit browser, which Windows refuses to a 32-bit process
// (ERROR_IN_WOW64). The request is on the command line; the exit code is the
// result (kvstubrequest.h). The services are linked directly: a 64-bit
// Windows always has them.
#include "kvstubrequest.h"

#include <windows.h>
#include <newdev.h>
#include <objbase.h>
#include <setupapi.h>
#include <shellapi.h>

namespace {

static_assert(sizeof(wchar_t) == sizeof(kv::WCHAR), "wchar_t is UTF-16 on Windows");

const wchar_t* W(const kv::WCHAR* text) { return reinterpret_cast<const wchar_t*>(text); }

std::vector<std::u16string> SplitCommandLine(const kv::WCHAR* commandLine) {
  std::vector<std::u16string> items;
  int count = 0;
  LPWSTR* argv = ::CommandLineToArgvW(W(commandLine), &count);
  if (!argv) return items;
  for (int i = 0; i < count; ++i) items.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  ::LocalFree(argv);
  return items;
}

kv::HRESULT ClsidFromString(const kv::WCHAR* text, kv::GUID* clsid) {
  return ::CLSIDFromString(W(text), reinterpret_cast<::CLSID*>(clsid));
}

kv::HDEVINFO KVAPI CreateDeviceInfoList(const kv::GUID* cls, kv::HWND owner) {
  return ::SetupDiCreateDeviceInfoList(reinterpret_cast<const ::GUID*>(cls), reinterpret_cast<::HWND>(owner));
}

kv::BOOL KVAPI OpenDeviceInfoW(kv::HDEVINFO set, const kv::WCHAR* id, kv::HWND owner, kv::DWORD flags,
                               kv::SP_DEVINFO_DATA* data) {
  return ::SetupDiOpenDeviceInfoW(set, W(id), reinterpret_cast<::HWND>(owner), flags,
                                  reinterpret_cast<::SP_DEVINFO_DATA*>(data));
}

kv::BOOL KVAPI SetClassInstallParamsW(kv::HDEVINFO set, kv::SP_DEVINFO_DATA* data, kv::SP_CLASSINSTALL_HEADER* params,
                                      kv::DWORD size) {
  return ::SetupDiSetClassInstallParamsW(set, reinterpret_cast<::SP_DEVINFO_DATA*>(data),
                                         reinterpret_cast<::SP_CLASSINSTALL_HEADER*>(params), size);
}

kv::BOOL KVAPI CallClassInstaller(kv::DWORD function, kv::HDEVINFO set, kv::SP_DEVINFO_DATA* data) {
  return ::SetupDiCallClassInstaller(function, set, reinterpret_cast<::SP_DEVINFO_DATA*>(data));
}

kv::BOOL KVAPI DestroyDeviceInfoList(kv::HDEVINFO set) { return ::SetupDiDestroyDeviceInfoList(set); }

kv::BOOL KVAPI UpdateDriverW(kv::HWND owner, const kv::WCHAR* hardwareId, const kv::WCHAR* infPath, kv::DWORD flags,
                             kv::BOOL* reboot) {
  return ::UpdateDriverForPlugAndPlayDevicesW(reinterpret_cast<::HWND>(owner), W(hardwareId), W(infPath), flags,
                                              reboot);
}

void DebugW(const kv::WCHAR* text) { ::OutputDebugStringW(W(text)); }

kv::DWORD LastError() { return ::GetLastError(); }

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const kv::TkvStubApi api{&SplitCommandLine,     &ClsidFromString,   &CreateDeviceInfoList,
                           &OpenDeviceInfoW,      &SetClassInstallParamsW, &CallClassInstaller,
                           &DestroyDeviceInfoList, &UpdateDriverW,     &DebugW,
                           &LastError};
  return static_cast<int>(kv::RunStubRequest(api, reinterpret_cast<const kv::WCHAR*>(::GetCommandLineW())));
}
