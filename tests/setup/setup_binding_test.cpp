// Run-time binding of SetupAPI and the configuration manager.
#include "simfixture.h"

namespace kvtest {
namespace {

using BindingTest = SimTest;

TEST_F(BindingTest, ConfigManagerFromSetupApiLeavesCfgmgr32Unloaded) {
  ASSERT_TRUE(kv::LoadSetupApi());
  EXPECT_EQ(M->LoadCount("cfgmgr32.dll"), 0u);
  EXPECT_EQ(kv::SetupApi().ConfigManagerLibrary, kv::SetupApi().SetupApiModule);
  EXPECT_NE(kv::SetupApi().CM_Get_Sibling, nullptr);
}

TEST_F(BindingTest, ConfigManagerOnlyInCfgmgr32IsBoundFromThere) {
  M->SetConfigManagerInSetupApi(false);
  ASSERT_TRUE(kv::LoadSetupApi());
  EXPECT_EQ(M->LoadCount("cfgmgr32.dll"), 1u);
  EXPECT_EQ(kv::SetupApi().ConfigManagerLibrary, kv::SetupApi().CfgMgrModule);
  // The entry points work through the other library.
  kv::DEVINST root = 0;
  EXPECT_EQ(kv::SetupApi().CM_Locate_DevNodeA(&root, nullptr, 0), kv::CR_SUCCESS);
  EXPECT_EQ(root, M->Root().Handle);
}

TEST_F(BindingTest, SecondCallLooksNothingUpAgain) {
  ASSERT_TRUE(kv::LoadSetupApi());
  const unsigned lookups = M->LookupCount();
  const unsigned binds = kv::SetupApiBindCount();
  EXPECT_TRUE(kv::LoadSetupApi());
  EXPECT_EQ(M->LookupCount(), lookups);
  EXPECT_EQ(kv::SetupApiBindCount(), binds);
  EXPECT_EQ(M->LoadCount("SetupAPI.dll"), 1u);
}

TEST_F(BindingTest, MissingPiecesFailQuietlyAndAreRetried) {
  struct Case {
    const char* label;
    std::function<void(kv::TkvSimMachine&)> breakIt;
    bool bound;
  };
  const Case cases[] = {
      {"no SetupAPI.dll", [](kv::TkvSimMachine& m) { m.RemoveLibrary("setupapi.dll"); }, false},
      {"required SetupDi entry missing",
       [](kv::TkvSimMachine& m) { m.RemoveExport("SetupAPI.dll", "SetupDiOpenDevRegKey"); }, false},
      {"entry bound but unused by the library missing",
       [](kv::TkvSimMachine& m) { m.RemoveExport("SetupAPI.dll", "SetupDiGetINFClassA"); }, false},
      {"configuration manager nowhere",
       [](kv::TkvSimMachine& m) {
         m.SetConfigManagerInSetupApi(false);
         m.RemoveLibrary("cfgmgr32.dll");
       },
       false},
      {"required CM entry missing in cfgmgr32",
       [](kv::TkvSimMachine& m) {
         m.SetConfigManagerInSetupApi(false);
         m.RemoveExport("cfgmgr32.dll", "CM_Get_Child");
       },
       false},
      {"optional entries missing",
       [](kv::TkvSimMachine& m) {
         m.RemoveExport("SetupAPI.dll", "SetupDiRemoveDevice");
         m.RemoveExport("SetupAPI.dll", "SetupDiUnremoveDevice");
         m.RemoveExport("SetupAPI.dll", "SetupDiOpenDeviceInfoA");
         m.RemoveExport("SetupAPI.dll", "CM_Request_Device_EjectA");
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    kv::TkvSimMachine machine;
    c.breakIt(machine);
    kv::TkvMachineScope scope(machine);
    EXPECT_EQ(kv::LoadSetupApi(), c.bound);
    if (c.bound) continue;
    // Everything of the layer fails quietly.
    auto list = std::make_unique<kv::TStringList>(true);
    list->Add("kept");
    kv::EnumDevices(&kUsbClass, true, true, false, *list);
    EXPECT_EQ(list->Count(), 1);
    EXPECT_EQ(kv::GetDeviceIdList("HTREE\\ROOT\\0", ";", true), "");
    // A failed binding gives back what it loaded and starts again next time.
    const unsigned loads = machine.LoadCount("setupapi.dll");
    EXPECT_FALSE(kv::LoadSetupApi());
    if (loads > 0) {
      EXPECT_EQ(machine.LoadCount("setupapi.dll"), loads + 1);
    }
  }
}

TEST_F(BindingTest, AnotherMachineIsBoundAfresh) {
  ASSERT_TRUE(kv::LoadSetupApi());
  kv::TkvSimMachine other;
  other.RemoveLibrary("setupapi.dll");
  {
    kv::TkvMachineScope scope(other);
    EXPECT_FALSE(kv::LoadSetupApi());
  }
  EXPECT_TRUE(kv::LoadSetupApi());
}

}  // namespace
}  // namespace kvtest
