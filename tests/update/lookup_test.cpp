// Finding the installed product in a simulated registry, and recording the
// installed version there.
#include <gtest/gtest.h>

#include "Functions1.h"
#include "sim/kvsimmachine.h"

namespace {

using kv::HKEY_LOCAL_MACHINE;

constexpr const char* AppPaths = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tool.exe";
constexpr const char* Vendor = "SOFTWARE\\Vandrell Datentechnik\\Tool";

class LocateInstallation : public ::testing::Test {
 protected:
  LocateInstallation() {
    FData.ProgramFile = "Tool.exe";
    FData.ProgramName = "Tool";
  }
  kv::TkvSimMachine FMachine;
  kv::TkvMachineScope FScope{FMachine};
  update::TUpdateData FData;
};

TEST_F(LocateInstallation, FindsTheProductUnderAppPathsWithoutReadingAVersion) {
  FMachine.SetString(HKEY_LOCAL_MACHINE, AppPaths, "Path", "C:\\Programme\\Tool");
  FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Update", "7.0.0");
  FData.InstalledVersion = "from an earlier press";
  EXPECT_TRUE(update::LocateInstallation(FData)) << FMachine.Dump();
  EXPECT_EQ(FData.InstallPath, "C:\\Programme\\Tool");
  EXPECT_EQ(FData.InstalledVersion, "from an earlier press");
}

TEST_F(LocateInstallation, FindsTheProductUnderItsOwnKeyWithItsVersion) {
  FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Path", "D:\\Tool");
  FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Update", "1.4.2", true, kv::REG_EXPAND_SZ);
  EXPECT_TRUE(update::LocateInstallation(FData)) << FMachine.Dump();
  EXPECT_EQ(FData.InstallPath, "D:\\Tool");
  EXPECT_EQ(FData.InstalledVersion, "1.4.2");
}

TEST_F(LocateInstallation, AnOpenedKeyWithoutAPathIsNotFound) {
  // The App Paths key opens, so the product's own key is not consulted.
  FMachine.CreateKey(HKEY_LOCAL_MACHINE, AppPaths);
  FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Path", "D:\\Tool");
  EXPECT_FALSE(update::LocateInstallation(FData));
  EXPECT_EQ(FData.InstallPath, "");

  update::TUpdateData own;
  own.ProgramFile = "Other.exe";
  own.ProgramName = "Other";
  FMachine.SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vandrell Datentechnik\\Other", "Update", "1.0.0");
  EXPECT_FALSE(update::LocateInstallation(own));
  EXPECT_EQ(own.InstalledVersion, "1.0.0");
}

TEST_F(LocateInstallation, WithoutAnyKeyNothingIsFoundAndNothingChanges) {
  FData.InstallPath = "typed in before";
  FData.InstalledVersion = "1.0.0";
  EXPECT_FALSE(update::LocateInstallation(FData));
  EXPECT_EQ(FData.InstallPath, "typed in before");
  EXPECT_EQ(FData.InstalledVersion, "1.0.0");
}

TEST_F(LocateInstallation, AKeyThatCannotBeOpenedCountsAsMissing) {
  FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Path", "D:\\Tool");
  FMachine.Fail("RegOpenKeyExA", kv::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(update::LocateInstallation(FData));
}

TEST_F(LocateInstallation, AValueThatIsNoTextIsAnError) {
  FMachine.SetDword(HKEY_LOCAL_MACHINE, Vendor, "Path", 42);
  try {
    update::LocateInstallation(FData);
    FAIL() << "a DWORD Path was taken";
  } catch (const update::ERegistryError& error) {
    EXPECT_EQ(error.Kind, update::ERegistryError::InvalidType);
    EXPECT_EQ(error.ValueName, "Path");
  }

  FMachine.SetString(HKEY_LOCAL_MACHINE, Vendor, "Path", "D:\\Tool");
  FMachine.SetBinary(HKEY_LOCAL_MACHINE, Vendor, "Update", {1, 2, 3});
  EXPECT_THROW(update::LocateInstallation(FData), update::ERegistryError);
}

class RecordVersion : public LocateInstallation {};

TEST_F(RecordVersion, CreatesTheProductKeyAndWritesTheVersionAsText) {
  FData.UpdateVersion = "2.3.4";
  update::RecordVersion(FData);
  const kv::TkvSimValue* value = FMachine.GetValue(HKEY_LOCAL_MACHINE, Vendor, "Update");
  ASSERT_NE(value, nullptr) << FMachine.Dump();
  EXPECT_EQ(value->Type, kv::REG_SZ);

  // Read back as the next run will.
  EXPECT_FALSE(update::LocateInstallation(FData));  // no Path yet
  EXPECT_EQ(FData.InstalledVersion, "2.3.4");
}

TEST_F(RecordVersion, ReportsAKeyThatCannotBeCreated) {
  FData.UpdateVersion = "2.3.4";
  FMachine.Fail("RegCreateKeyExA", kv::ERROR_ACCESS_DENIED);
  try {
    update::RecordVersion(FData);
    FAIL() << "the failure was swallowed";
  } catch (const update::ERegistryError& error) {
    EXPECT_EQ(error.Kind, update::ERegistryError::WriteFailed);
    EXPECT_EQ(error.Status, static_cast<kv::LONG>(kv::ERROR_ACCESS_DENIED));
  }
  FMachine.ClearFailures();
  FMachine.Fail("RegSetValueExA", kv::ERROR_ACCESS_DENIED);
  EXPECT_THROW(update::RecordVersion(FData), update::ERegistryError);
  EXPECT_EQ(FMachine.GetValue(HKEY_LOCAL_MACHINE, Vendor, "Update"), nullptr);
}

}  // namespace
