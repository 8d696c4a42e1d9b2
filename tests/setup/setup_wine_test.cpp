// The setup layer and the utilities on the real services of Windows (under
// Wine in the test run): registry, ZwQueryKey, processes, the program's own
// resources and version record, drives, and SetupAPI itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "kvframework.h"
#include "kvplatform.h"
#include "kvsetupapi.h"
#include "kvtext.h"
#include "kvutils.h"


namespace {

const char* const kTestKey = "Software\\kvtest\\setup";

class RealMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(kv::RealMachine(), nullptr);
    ASSERT_EQ(&kv::Machine(), kv::RealMachine()) << "the tests run on the real machine";
  }
};

TEST_F(RealMachineTest, RegistryStringsAsStored) {
  kv::TkvMachine& m = kv::Machine();
  kv::HKEY key = nullptr;
  ASSERT_EQ(m.RegCreateKeyExA(kv::HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, kv::KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0L);
  const kv::BYTE withZero[] = "text";
  ASSERT_EQ(m.RegSetValueExA(key, "WithZero", 0, kv::REG_SZ, withZero, 5), 0L);
  // The registry stores a zero that directly follows the counted bytes, so
  // the text without its zero must not be followed by one.
  const kv::BYTE noZero[] = "textX";
  ASSERT_EQ(m.RegSetValueExA(key, "WithoutZero", 0, kv::REG_SZ, noZero, 4), 0L);
  kv::DWORD size = 0;
  ASSERT_EQ(m.RegQueryValueExA(key, "WithoutZero", nullptr, nullptr, nullptr, &size), 0L);
  EXPECT_EQ(size, 4u);
  const kv::BYTE binary[12] = {0x4D, 0x3C, 0x2B, 0x1A, 0x00, 0x7E, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(m.RegSetValueExA(key, "Binary", 0, kv::REG_BINARY, binary, sizeof(binary)), 0L);
  m.RegCloseKey(key);

  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_CURRENT_USER, kTestKey, "WithZero"), "text");
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_CURRENT_USER, kTestKey, "WithoutZero"), "text");
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_CURRENT_USER, kTestKey, "Binary"),
            std::string(reinterpret_cast<const char*>(binary), sizeof(binary)));
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_CURRENT_USER, kTestKey, "Missing"), "");
}

TEST_F(RealMachineTest, KeyPathsThroughZwQueryKey) {
  kv::TkvMachine& m = kv::Machine();
  kv::HKEY key = nullptr;
  ASSERT_EQ(m.RegOpenKeyExA(kv::HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", 0, kv::KEY_READ, &key), 0L);
  kv::HKEY root = nullptr;
  const std::string path = kv::GetRegistryKeyPath(key, &root);
  m.RegCloseKey(key);
  EXPECT_EQ(kv::UpperAscii(path).rfind("SYSTEM\\", 0), 0u) << path;
  EXPECT_NE(kv::UpperAscii(path).find("\\CONTROL"), std::string::npos) << path;
  EXPECT_EQ(root, kv::HKEY_LOCAL_MACHINE);

  ASSERT_EQ(m.RegCreateKeyExA(kv::HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, kv::KEY_READ, nullptr, &key, nullptr), 0L);
  root = nullptr;
  EXPECT_EQ(kv::GetRegistryKeyPath(key, &root), kTestKey) << "the user's id is dropped";
  EXPECT_EQ(root, kv::HKEY_CURRENT_USER);
  const std::string whole = kv::GetRegistryKeyPath(key);
  EXPECT_EQ(kv::UpperAscii(whole).rfind("\\REGISTRY\\USER\\", 0), 0u) << whole;
  m.RegCloseKey(key);
}

TEST_F(RealMachineTest, ProcessExitCodesAndStartErrors) {
  char self[kv::MAX_PATH] = {};
  ASSERT_GT(kv::Host().GetModuleFileNameA(nullptr, self, sizeof(self)), 0u);
  std::string folder(self);
  folder = folder.substr(0, folder.find_last_of('\\') + 1);
  const std::string child = "\"" + folder + KV_EXITWITH_EXE + "\"";

  kv::SetLastError(0xdeadbeef);
  kv::RunProcess(child + " 7", folder, true, true);
  EXPECT_EQ(kv::GetLastError(), 7u);
  kv::RunProcess(child + " 0", "", true, false);
  EXPECT_EQ(kv::GetLastError(), 0u);
  kv::SetLastError(0xdeadbeef);
  kv::RunProcess(child + " 9", folder, false, true);
  EXPECT_EQ(kv::GetLastError(), 0u) << "without waiting nothing is known of the exit";
  kv::SetLastError(0xdeadbeef);
  kv::RunProcess("\"" + folder + "no-such-program.exe\"", folder, true, true);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_NOT_FOUND);
}

TEST_F(RealMachineTest, OwnResourcesAndVersion) {
  const std::string expected("kv setup resource\r\nsecond line\0with a zero", 42);
  EXPECT_EQ(kv::LoadResourceText("kvtest_data"), expected);
  EXPECT_EQ(kv::LoadResourceText("KVTEST_NONE"), "");
  char temp[kv::MAX_PATH] = {};
  ASSERT_GT(kv::Host().GetTempPathA(sizeof(temp), temp), 0u);
  const std::string file = std::string(temp) + "kvtest_resource.bin";
  kv::Host().DeleteFileA(file.c_str());
  EXPECT_FALSE(kv::SaveResourceToFile("KVTEST_NONE", file));
  EXPECT_EQ(kv::Host().GetFileAttributesA(file.c_str()), kv::INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(kv::SaveResourceToFile("KVTEST_DATA", file));
  kv::HANDLE h = kv::Host().CreateFileA(file.c_str(), kv::GENERIC_READ, 0, nullptr, kv::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, kv::INVALID_HANDLE_VALUE);
  EXPECT_EQ(kv::Host().GetFileSize(h, nullptr), expected.size());
  kv::Host().CloseHandle(h);
  kv::Host().DeleteFileA(file.c_str());

  char self[kv::MAX_PATH] = {};
  ASSERT_GT(kv::Host().GetModuleFileNameA(nullptr, self, sizeof(self)), 0u);
  EXPECT_EQ(kv::GetVersionText(self, ""), "7.0.0.1");
  EXPECT_EQ(kv::GetVersionText(self, "Version %u.%u (Build %u.%u)"), "Version 7.0 (Build 0.1)");
  EXPECT_EQ(kv::GetVersionText("", "").rfind("Windows ", 0), 0u);
}

TEST_F(RealMachineTest, DriveLetters) {
  const std::string letters = kv::GetDriveLetters(true, true, true, true, true, ",");
  EXPECT_NE(letters.find("C,"), std::string::npos) << letters;
  EXPECT_EQ(kv::GetDriveLetters(false, false, false, false, false, ","), "");
}

TEST_F(RealMachineTest, BindingAndEnumerationOnTheSystemsSetupApi) {
  ASSERT_TRUE(kv::LoadSetupApi());
  const kv::TkvSetupApi& api = kv::SetupApi();
  EXPECT_NE(api.CM_Locate_DevNodeA, nullptr);
  EXPECT_NE(api.CM_Get_Child, nullptr);

  kv::TStringList all(true);
  kv::EnumDevices(nullptr, true, true, false, all);
  ASSERT_GT(all.Count(), 0) << "the system lists some devices";
  int withId = 0;
  for (int i = 0; i < all.Count(); ++i) {
    const auto* d = all.ObjectAs<kv::TkvDevice>(i);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(all.Strings(i), d->DriverKey);
    if (d->InstanceId.empty()) continue;
    ++withId;
    // The record's hardware key is named below HKEY_LOCAL_MACHINE, where the
    // enumeration itself reads its values.
    if (!d->RegistryKey.empty()) {
      EXPECT_EQ(kv::UpperAscii(d->RegistryKey).rfind("SYSTEM\\", 0), 0u) << d->RegistryKey;
    }
    // Related ids come from the configuration manager; whatever it answers,
    // the result is a plain list.
    const std::string children = kv::GetDeviceIdList(d->InstanceId, ";", true);
    EXPECT_EQ(children.find('\0'), std::string::npos);
  }
  EXPECT_GT(withId, 0);
  // A USB class enumeration on a machine without USB adds nothing and fails nothing.
  kv::GUID usb{0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
  kv::TStringList none(true);
  kv::EnumDevices(&usb, true, true, false, none);
  SUCCEED() << none.Count() << " USB devices";
}

// The stub the program carries is a windowless x86-64 program; written from
// the resource into the temp folder, run hidden and deleted, its exit code is
// the caller's last error.
TEST_F(RealMachineTest, TheStubFromTheResourceRunsAndGoes) {
  const std::string stub = kv::LoadResourceText("KVX64STUB");
  ASSERT_GT(stub.size(), 0x400u);
  auto u16 = [&](std::size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(stub[at]) | static_cast<unsigned char>(stub[at + 1]) << 8); };
  EXPECT_EQ(stub.substr(0, 2), "MZ");
  const std::size_t pe = u16(0x3C) | u16(0x3E) << 16;
  ASSERT_LT(pe + 24 + 70, stub.size());
  EXPECT_EQ(stub.substr(pe, 4), std::string("PE\0\0", 4));
  EXPECT_EQ(u16(pe + 4), 0x8664u) << "x86-64";
  EXPECT_EQ(u16(pe + 24), 0x20Bu) << "PE32+";
  EXPECT_EQ(u16(pe + 24 + 68), 2u) << "a windowed program, without a console";

  char temp[kv::MAX_PATH] = {};
  ASSERT_GT(kv::Host().GetTempPathA(sizeof(temp), temp), 0u);
  const std::string file = std::string(temp) + "kvX64stub.exe";
  // A package for a hardware id that no device of the machine has.
  const std::string inf = std::string(temp) + "kv stub test.inf";
  const std::string package =
      "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\n"
      "ClassGuid={36FC9E60-C465-11CF-8056-444553540000}\r\nProvider=kv\r\n"
      "[Manufacturer]\r\nkv=Devices,NTamd64\r\n[Devices.NTamd64]\r\n"
      "\"kv test\"=Install,USB\\VID_FFFF&PID_FFFF\r\n[Install.NTamd64]\r\n";
  kv::HANDLE h = kv::Host().CreateFileA(inf.c_str(), kv::GENERIC_WRITE, 0, nullptr, kv::CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, kv::INVALID_HANDLE_VALUE);
  kv::DWORD written = 0;
  kv::Host().WriteFile(h, package.data(), static_cast<kv::DWORD>(package.size()), &written, nullptr);
  kv::Host().CloseHandle(h);
  // What newdev answers a 64-bit process (this one) is what the stub must
  // pass on; Wine 8 reports success even for a package that is not there.
  auto newdev = [](const std::string& infPath) {
    kv::BOOL reboot = 0;
    kv::SetLastError(0xDEADBEEF);
    return kv::UpdateDriverForPnPDevices(nullptr, "USB\\VID_FFFF&PID_FFFF", infPath.c_str(), 1, &reboot)
               ? kv::DWORD{0}
               : kv::GetLastError();
  };
  struct Case {
    std::string Arguments;
    kv::DWORD Error;
  };
  const Case cases[] = {
      {"", kv::ERROR_INVALID_PARAMETER},
      {"\"one\"", kv::ERROR_INVALID_PARAMETER},
      {"a b c d", kv::ERROR_INVALID_PARAMETER},
      {"\"USB\\VID_FFFF&PID_FFFF\\NONE\" 2 \"{36FC9E60-C465-11CF-8056-444553540000}\"", kv::ERROR_NO_SUCH_DEVINST},
      {"\"USB\\VID_FFFF&PID_FFFF\" \"" + std::string(temp) + "no package.inf\"", newdev(std::string(temp) + "no package.inf")},
      {"\"USB\\VID_FFFF&PID_FFFF\" \"" + inf + "\"", newdev(inf)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Arguments);
    kv::SetLastError(0xDEADBEEF);
    const bool ok = kv::RunX64Stub(c.Arguments);
    const kv::DWORD error = kv::GetLastError();
    EXPECT_EQ(ok, c.Error == 0);
    EXPECT_EQ(error, c.Error);
    EXPECT_EQ(kv::Host().GetFileAttributesA(file.c_str()), kv::INVALID_FILE_ATTRIBUTES) << "left behind";
  }
  kv::Host().DeleteFileA(inf.c_str());
}

}  // namespace
