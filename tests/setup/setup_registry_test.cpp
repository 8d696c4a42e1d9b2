// Registry helpers of the setup layer on the simulated registry.
#include "simfixture.h"

namespace kvtest {
namespace {

using RegistryTest = SimTest;

TEST_F(RegistryTest, ReadRegistryStringKeepsWhatWasStored) {
  const std::string key = "SOFTWARE\\kvtest";
  M->SetString(kv::HKEY_LOCAL_MACHINE, key, "WithZero", "text", true);
  M->SetString(kv::HKEY_LOCAL_MACHINE, key, "WithoutZero", "text", false);
  M->SetString(kv::HKEY_LOCAL_MACHINE, key, "Empty", "", true);
  M->SetString(kv::HKEY_LOCAL_MACHINE, key, "Umlaut", "Stra\xC3\x9F" "e \xE2\x82\xAC");  // UTF-8 in the description
  M->SetBinary(kv::HKEY_LOCAL_MACHINE, key, "Binary", {0x4D, 0x3C, 0x2B, 0x1A, 0, 0x7E, 0, 0, 0, 0, 0, 0});
  M->SetString(kv::HKEY_LOCAL_MACHINE, key, "Expand", "%TEMP%", true, kv::REG_EXPAND_SZ);

  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, key, "WithZero"), "text");
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, key, "WithoutZero"), "text");
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, key, "Empty"), "");
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, key, "Umlaut"), "Stra\xDF" "e \x80") << "ANSI code page 1252";
  const std::string binary = kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, key, "Binary");
  ASSERT_EQ(binary.size(), 12u);
  EXPECT_EQ(binary[0], '\x4D');
  EXPECT_EQ(binary[11], '\0');
  // Only REG_SZ loses its closing zero; other types keep their bytes.
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, key, "Expand"), std::string("%TEMP%\0", 7));
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, key, "Missing"), "");
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, "SOFTWARE\\NoSuchKey", "WithZero"), "");
}

TEST_F(RegistryTest, ReadRegistryStringSurvivesFailingReads) {
  M->SetString(kv::HKEY_LOCAL_MACHINE, "SOFTWARE\\kvtest", "Value", "text");
  M->Fail("RegQueryValueExA", kv::ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, "SOFTWARE\\kvtest", "Value"), "");
  M->ClearFailures();
  EXPECT_EQ(kv::ReadRegistryString(kv::HKEY_LOCAL_MACHINE, "SOFTWARE\\kvtest", "Value"), "text");
}

TEST_F(RegistryTest, GetRegistryKeyPathNamesKeyBelowItsRoot) {
  M->CreateKey(kv::HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\USB\\X");
  M->CreateKey(kv::HKEY_CURRENT_USER, "Software\\Quorvex");
  struct Case {
    const char* label;
    kv::HKEY root;
    const char* path;
    std::string expected;
    kv::HKEY expectedRoot;
    std::string whole;
  };
  const Case cases[] = {
      {"machine key through a link", kv::HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\USB\\X",
       "SYSTEM\\ControlSet001\\Enum\\USB\\X", kv::HKEY_LOCAL_MACHINE,
       "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\X"},
      {"user key loses the user's id", kv::HKEY_CURRENT_USER, "Software\\Quorvex", "Software\\Quorvex", kv::HKEY_CURRENT_USER,
       ""},
      {"machine root itself", kv::HKEY_LOCAL_MACHINE, "SYSTEM", "SYSTEM", kv::HKEY_LOCAL_MACHINE, "\\REGISTRY\\MACHINE\\SYSTEM"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    kv::HKEY key = nullptr;
    ASSERT_EQ(M->RegOpenKeyExA(c.root, c.path, 0, kv::KEY_READ, &key), 0L);
    kv::HKEY root = reinterpret_cast<kv::HKEY>(1);
    EXPECT_EQ(kv::GetRegistryKeyPath(key, &root), c.expected);
    EXPECT_EQ(root, c.expectedRoot);
    if (!c.whole.empty()) {
      EXPECT_EQ(kv::GetRegistryKeyPath(key), c.whole);
    }
    M->RegCloseKey(key);
  }
  EXPECT_EQ(kv::GetRegistryKeyPath(reinterpret_cast<kv::HKEY>(kv::INVALID_HANDLE_VALUE)), "");
  // A predefined root is no kernel handle, so the kernel names nothing.
  kv::HKEY root = reinterpret_cast<kv::HKEY>(1);
  EXPECT_EQ(kv::GetRegistryKeyPath(kv::HKEY_LOCAL_MACHINE, &root), "");
  EXPECT_EQ(root, nullptr);
}

TEST_F(RegistryTest, GetRegistryKeyPathWithoutItsServices) {
  kv::HKEY key = nullptr;
  ASSERT_EQ(M->RegOpenKeyExA(kv::HKEY_LOCAL_MACHINE, "SYSTEM", 0, kv::KEY_READ, &key), 0L);
  M->RemoveExport("ntdll.dll", "ZwQueryKey");
  kv::HKEY root = nullptr;
  EXPECT_EQ(kv::GetRegistryKeyPath(key, &root), "");
  EXPECT_EQ(root, nullptr) << "no name: no known root";
  M->RemoveLibrary("ntdll.dll");
  EXPECT_EQ(kv::GetRegistryKeyPath(key), "");
  M->RegCloseKey(key);
}

}  // namespace
}  // namespace kvtest
