// The real machine: run-time binding of system DLLs, device paths, drives, the
// Windows version and child processes, against the system (Wine in CI).
#include "kvboundapi.h"
#include "kvplatform.h"
#include "kvwintestsupport.h"
#include "win32/kvwinnative.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using kvtest::kSentinel;
using kvtest::TPatternBuffer;

kv::TkvMachine& Machine() { return *kv::RealMachine(); }

// An entry point as the prototype it has (through void(*)(), which tells the
// compiler that the change of function type is meant).
template <class Fn>
Fn Bind(kv::HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(Machine().GetProcAddress(module, name)));
}

// ---- run-time binding ------------------------------------------------------------

TEST(Win32Binding, SystemDllLoadsUnderAnySpellingOfItsName) {
  const kv::HMODULE first = Machine().LoadLibraryA("setupapi.dll");
  ASSERT_NE(first, nullptr) << "last error " << kv::GetLastError();
  for (const char* name : {"SetupAPI", "SETUPAPI.DLL", "setupapi"}) {
    SCOPED_TRACE(name);
    const kv::HMODULE again = Machine().LoadLibraryA(name);
    EXPECT_EQ(again, first);
    if (again) {
      EXPECT_TRUE(Machine().FreeLibrary(again));
    }
  }
  EXPECT_TRUE(Machine().FreeLibrary(first));
}

// Both ways of keeping the search to the system folder find the same DLL, so
// Windows without the loader update behaves as the rest.
TEST(Win32Binding, FullSystemPathFindsWhatTheSearchFlagFinds) {
  const kv::HMODULE byFlag = kv::win32::LoadSystemLibrary("setupapi", true);
  const kv::HMODULE byPath = kv::win32::LoadSystemLibrary("setupapi", false);
  ASSERT_NE(byFlag, nullptr);
  EXPECT_EQ(byPath, byFlag);
  if (byPath) Machine().FreeLibrary(byPath);
  Machine().FreeLibrary(byFlag);
}

TEST(Win32Binding, NamesWithAPathAreRefused) {
  for (const char* name : {"C:\\windows\\system32\\setupapi.dll", ".\\setupapi.dll", "..\\setupapi",
                           "sub/setupapi.dll", "C:setupapi.dll", ""}) {
    for (bool searchFlag : {true, false}) {
      SCOPED_TRACE(std::string(name) + (searchFlag ? " (search flag)" : " (system path)"));
      kv::SetLastError(kSentinel);
      EXPECT_EQ(kv::win32::LoadSystemLibrary(name, searchFlag), nullptr);
      EXPECT_EQ(kv::GetLastError(), kv::ERROR_INVALID_PARAMETER);
    }
  }
}

TEST(Win32Binding, MissingDllAndMissingEntryPointAreReported) {
  for (bool searchFlag : {true, false}) {
    SCOPED_TRACE(searchFlag ? "search flag" : "system path");
    kv::SetLastError(kSentinel);
    EXPECT_EQ(kv::win32::LoadSystemLibrary("kv-no-such-library", searchFlag), nullptr);
    EXPECT_EQ(kv::GetLastError(), kv::ERROR_MOD_NOT_FOUND);
  }

  const kv::HMODULE setupapi = Machine().LoadLibraryA("setupapi");
  ASSERT_NE(setupapi, nullptr);
  kv::SetLastError(kSentinel);
  EXPECT_EQ(Machine().GetProcAddress(setupapi, "SetupDiKvNoSuchFunction"), nullptr);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_PROC_NOT_FOUND);
  Machine().FreeLibrary(setupapi);
}

// The entry points are called with our records: SetupAPI checks their cbSize
// against its own, so a layout of ours that differed would fail here.
TEST(Win32Binding, SetupApiEnumeratesDevicesThroughBoundEntryPoints) {
  const kv::HMODULE setupapi = Machine().LoadLibraryA("setupapi");
  ASSERT_NE(setupapi, nullptr);
  const auto getClassDevs = Bind<kv::TSetupDiGetClassDevsA>(setupapi, "SetupDiGetClassDevsA");
  const auto enumDeviceInfo = Bind<kv::TSetupDiEnumDeviceInfo>(setupapi, "SetupDiEnumDeviceInfo");
  const auto getProperty =
      Bind<kv::TSetupDiGetDeviceRegistryPropertyA>(setupapi, "SetupDiGetDeviceRegistryPropertyA");
  const auto destroyList = Bind<kv::TSetupDiDestroyDeviceInfoList>(setupapi, "SetupDiDestroyDeviceInfoList");
  ASSERT_TRUE(getClassDevs && enumDeviceInfo && getProperty && destroyList);
  EXPECT_NE(Machine().GetProcAddress(setupapi, "CM_Locate_DevNodeA"), nullptr);

  const kv::HDEVINFO devices = getClassDevs(nullptr, nullptr, nullptr, kv::DIGCF_ALLCLASSES | kv::DIGCF_PRESENT);
  ASSERT_NE(devices, kv::INVALID_HANDLE_VALUE);

  kv::SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device + 1;
  kv::SetLastError(kSentinel);
  EXPECT_FALSE(enumDeviceInfo(devices, 0, &device)) << "a wrong cbSize is refused";
  EXPECT_EQ(kv::GetLastError(), 1784u) << "ERROR_INVALID_USER_BUFFER";

  device.cbSize = sizeof device;
  ASSERT_TRUE(enumDeviceInfo(devices, 0, &device)) << "last error " << kv::GetLastError();
  TPatternBuffer id(512);
  kv::DWORD type = kSentinel, needed = 0;
  ASSERT_TRUE(getProperty(devices, &device, kv::SPDRP_HARDWAREID, &type, id.bytes(), id.size(), &needed));
  EXPECT_EQ(type, kv::REG_MULTI_SZ);
  EXPECT_GT(std::strlen(id.chars()), 0u);
  EXPECT_TRUE(id.UntouchedFrom(needed));

  kv::SetLastError(kSentinel);
  EXPECT_FALSE(enumDeviceInfo(devices, 100000, &device));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(destroyList(devices));
  Machine().FreeLibrary(setupapi);
}

// The library names registry keys with ntdll's ZwQueryKey.
TEST(Win32Binding, NtdllNamesARegistryKey) {
  const kv::HMODULE ntdll = Machine().LoadLibraryA("ntdll");
  ASSERT_NE(ntdll, nullptr);
  const auto queryKey = Bind<kv::TZwQueryKey>(ntdll, "ZwQueryKey");
  ASSERT_NE(queryKey, nullptr);

  kv::HKEY key = nullptr;
  ASSERT_EQ(Machine().RegCreateKeyExA(kv::HKEY_CURRENT_USER, "Software\\kvtest\\win32-named", 0, nullptr,
                                      kv::REG_OPTION_NON_VOLATILE, kv::KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
  // KEY_NAME_INFORMATION: a ULONG byte count, then that many bytes of UTF-16.
  alignas(4) unsigned char buffer[1024];
  kv::ULONG length = 0;
  EXPECT_EQ(queryKey(key, kv::KeyNameInformation, buffer, sizeof buffer, &length), kv::STATUS_SUCCESS);
  kv::ULONG nameBytes = 0;
  std::memcpy(&nameBytes, buffer, sizeof nameBytes);
  ASSERT_LE(nameBytes + sizeof nameBytes, sizeof buffer);
  const std::string name =
      kv::NativeHost().WideToAnsi(reinterpret_cast<const kv::WCHAR*>(buffer + sizeof nameBytes), nameBytes / 2);
  EXPECT_NE(name.find("\\Software\\kvtest\\win32-named"), std::string::npos) << name;

  EXPECT_EQ(queryKey(key, kv::KeyNameInformation, buffer, 2, &length), kv::STATUS_BUFFER_TOO_SMALL);
  Machine().RegCloseKey(key);
  kvtest::DeleteKeyTree(kv::HKEY_CURRENT_USER, "Software\\kvtest\\win32-named");
  Machine().FreeLibrary(ntdll);
}

// ---- devices, drives and version ---------------------------------------------------

TEST(Win32Devices, MissingHostControllerIsNotFound) {
  kv::SetLastError(kSentinel);
  const kv::HANDLE hcd = Machine().CreateFileA("\\\\.\\HCD0", kv::GENERIC_WRITE, kv::FILE_SHARE_WRITE, nullptr,
                                               kv::OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(hcd, kv::INVALID_HANDLE_VALUE);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_NOT_FOUND);
  if (hcd != kv::INVALID_HANDLE_VALUE) Machine().CloseHandle(hcd);
}

TEST(Win32Devices, BogusHandleIsRefusedWithoutTouchingTheOutputs) {
  const kv::HANDLE bogus = reinterpret_cast<kv::HANDLE>(static_cast<kv::ULONG_PTR>(0x1230));
  TPatternBuffer out(8);
  kv::DWORD returned = kSentinel;
  kv::SetLastError(kSentinel);
  EXPECT_FALSE(Machine().DeviceIoControl(bogus, 0x220424, nullptr, 0, out.bytes(), out.size(), &returned, nullptr));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_INVALID_HANDLE);
  EXPECT_TRUE(out.UntouchedFrom(0));

  kv::SetLastError(kSentinel);
  EXPECT_FALSE(Machine().CloseHandle(bogus));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_INVALID_HANDLE);
}

TEST(Win32Devices, DriveCIsAFixedDrive) {
  const kv::DWORD drives = Machine().GetLogicalDrives();
  EXPECT_NE(drives & (1u << 2), 0u) << std::hex << drives;
  EXPECT_EQ(Machine().GetDriveTypeA("C:\\"), kv::DRIVE_FIXED);
  for (char letter = 'Z'; letter > 'C'; --letter) {
    if (drives & (1u << (letter - 'A'))) continue;
    const std::string root = std::string(1, letter) + ":\\";
    EXPECT_EQ(Machine().GetDriveTypeA(root.c_str()), kv::DRIVE_NO_ROOT_DIR) << root;
    break;
  }
}

TEST(Win32Version, RecordIsFilledOnlyWhenItsSizeIsRight) {
  kv::OSVERSIONINFOA info;
  std::memset(&info, 0xA5, sizeof info);
  info.dwOSVersionInfoSize = 0;
  kv::SetLastError(kSentinel);
  EXPECT_FALSE(Machine().GetVersionExA(&info));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_INSUFFICIENT_BUFFER);

  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(Machine().GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, kv::VER_PLATFORM_WIN32_NT);
  EXPECT_GE(info.dwMajorVersion, 5u);
  EXPECT_LT(std::strlen(info.szCSDVersion), sizeof info.szCSDVersion);
}

TEST(Win32Version, SixtyFourBitProcessIsNotWow64) {
#ifdef _WIN64
  EXPECT_FALSE(Machine().IsWow64());
#else
  GTEST_SKIP() << "depends on the Windows the 32-bit build runs on";
#endif
}

// ---- processes -------------------------------------------------------------------------

std::string ChildPath() { return kvtest::ProgramFolder() + "kvtest_child.exe"; }

struct TChild {
  kv::PROCESS_INFORMATION info{};
  bool started = false;

  bool Start(const std::string& arguments) {
    std::string commandLine = "\"" + ChildPath() + "\" " + arguments;
    kv::STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    started = Machine().CreateProcessA(ChildPath().c_str(), &commandLine[0], nullptr, nullptr, kv::FALSE, 0, nullptr,
                                       nullptr, &startup, &info) != kv::FALSE;
    return started;
  }
  ~TChild() {
    if (!started) return;
    Machine().WaitForSingleObject(info.hProcess, 10000);
    Machine().CloseHandle(info.hThread);
    Machine().CloseHandle(info.hProcess);
  }
};

TEST(Win32Process, MissingProgramIsNotFound) {
  const std::string missing = kvtest::ProgramFolder() + "kv-no-such-program.exe";
  std::string byPath = "\"" + missing + "\"";
  std::string bySearch = "kv-no-such-program.exe 1";
  struct Case {
    const char* label;
    const char* application;
    std::string* commandLine;
  };
  for (const Case& c : {Case{"application name", missing.c_str(), &byPath}, Case{"command line only", nullptr, &bySearch}}) {
    SCOPED_TRACE(c.label);
    kv::STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    kv::PROCESS_INFORMATION info{};
    kv::SetLastError(kSentinel);
    EXPECT_FALSE(Machine().CreateProcessA(c.application, &(*c.commandLine)[0], nullptr, nullptr, kv::FALSE, 0, nullptr,
                                          nullptr, &startup, &info));
    EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_NOT_FOUND);
  }
}

TEST(Win32Process, ExitCodeOfTheChildArrives) {
  for (kv::DWORD code : {0u, 42u, 0xC0FFEE11u}) {
    SCOPED_TRACE(code);
    TChild child;
    ASSERT_TRUE(child.Start(std::to_string(code))) << ChildPath() << ": last error " << kv::GetLastError();
    EXPECT_NE(child.info.dwProcessId, 0u);
    ASSERT_EQ(Machine().WaitForSingleObject(child.info.hProcess, 30000), kv::WAIT_OBJECT_0);
    kv::DWORD exitCode = kSentinel;
    ASSERT_TRUE(Machine().GetExitCodeProcess(child.info.hProcess, &exitCode));
    EXPECT_EQ(exitCode, code);
  }
}

TEST(Win32Process, RunningChildIsStillActiveUntilReleased) {
  const std::string eventName = "kvtest-release-" + std::to_string(kv::NativeHost().GetCurrentThreadId());
  kv::TkvHost& host = kv::NativeHost();
  const kv::HANDLE release = host.CreateEventA(nullptr, kv::TRUE, kv::FALSE, eventName.c_str());
  ASSERT_NE(release, nullptr);

  TChild child;
  ASSERT_TRUE(child.Start("7 " + eventName));
  EXPECT_EQ(Machine().WaitForSingleObject(child.info.hProcess, 0), kv::WAIT_TIMEOUT);
  kv::DWORD exitCode = kSentinel;
  ASSERT_TRUE(Machine().GetExitCodeProcess(child.info.hProcess, &exitCode));
  EXPECT_EQ(exitCode, kv::STILL_ACTIVE);

  ASSERT_TRUE(host.SetEvent(release));
  ASSERT_EQ(Machine().WaitForSingleObject(child.info.hProcess, 30000), kv::WAIT_OBJECT_0);
  ASSERT_TRUE(Machine().GetExitCodeProcess(child.info.hProcess, &exitCode));
  EXPECT_EQ(exitCode, 7u);
  host.CloseHandle(release);
}

}  // namespace
