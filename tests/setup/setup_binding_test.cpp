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

// Every entry the binding looks up, taken away alone: a required one fails the
// binding (which then gives back every library it loaded), an optional one
// does not.
TEST_F(BindingTest, EveryRequiredEntryAloneFailsTheBindingAndNoOptionalOneDoes) {
  struct Case {
    std::string label;
    std::function<void(kv::TkvSimMachine&)> breakIt;
    bool bound;
  };
  std::vector<Case> cases = {
      {"no SetupAPI.dll", [](kv::TkvSimMachine& m) { m.RemoveLibrary("setupapi.dll"); }, false},
      {"configuration manager nowhere",
       [](kv::TkvSimMachine& m) {
         m.SetConfigManagerInSetupApi(false);
         m.RemoveLibrary("cfgmgr32.dll");
       },
       false},
      // Without CM_Locate_DevNodeA in SetupAPI.dll the configuration manager
      // is bound from cfgmgr32.dll.
      {"SetupAPI.dll!CM_Locate_DevNodeA",
       [](kv::TkvSimMachine& m) { m.RemoveExport("SetupAPI.dll", "CM_Locate_DevNodeA"); }, true},
  };
  const char* const required[] = {
      "SetupDiGetClassDevsA",        "SetupDiDestroyDeviceInfoList",      "SetupDiEnumDeviceInfo",
      "SetupDiGetDeviceRegistryPropertyA", "SetupDiOpenDevRegKey",      "SetupDiEnumDeviceInterfaces",
      "SetupDiGetDeviceInterfaceDetailA",  "SetupDiCreateDeviceInfoList", "SetupDiCreateDeviceInfoA",
      "SetupDiGetINFClassA",         "SetupDiSetDeviceRegistryPropertyA", "SetupDiCallClassInstaller",
      "SetupDiGetDeviceInstanceIdA", "SetupDiSetClassInstallParamsA"};
  const char* const requiredCm[] = {"CM_Get_DevNode_Registry_PropertyA", "CM_Get_Parent", "CM_Get_Device_ID_List_SizeA",
                                    "CM_Get_Device_ID_ListA", "CM_Get_Child", "CM_Get_Sibling"};
  const char* const optional[] = {"SetupDiRemoveDevice", "SetupDiUnremoveDevice", "SetupDiOpenDeviceInfoA"};
  for (const char* e : required)
    cases.push_back({std::string("SetupAPI.dll!") + e, [e](kv::TkvSimMachine& m) { m.RemoveExport("SetupAPI.dll", e); },
                     false});
  for (const char* e : optional)
    cases.push_back({std::string("SetupAPI.dll!") + e, [e](kv::TkvSimMachine& m) { m.RemoveExport("SetupAPI.dll", e); },
                     true});
  // The configuration manager's entries, from either library.
  for (const bool inSetupApi : {true, false}) {
    const char* lib = inSetupApi ? "SetupAPI.dll" : "cfgmgr32.dll";
    auto from = [inSetupApi, lib](const char* e) {
      return [inSetupApi, lib, e](kv::TkvSimMachine& m) {
        m.SetConfigManagerInSetupApi(inSetupApi);
        m.RemoveExport(lib, e);
      };
    };
    for (const char* e : requiredCm) cases.push_back({std::string(lib) + "!" + e, from(e), false});
    cases.push_back({std::string(lib) + "!CM_Request_Device_EjectA", from("CM_Request_Device_EjectA"), true});
    if (!inSetupApi) cases.push_back({"cfgmgr32.dll!CM_Locate_DevNodeA", from("CM_Locate_DevNodeA"), false});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    kv::TkvSimMachine machine;
    c.breakIt(machine);
    kv::TkvMachineScope scope(machine);
    EXPECT_EQ(kv::LoadSetupApi(), c.bound) << machine.Dump();
    if (c.bound) kv::UnloadSetupApi();
    EXPECT_EQ(machine.Outstanding().Libraries, 0u) << "a library stays loaded\n" << machine.Dump();
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

// Programs and tests switch machines: the binding gives its libraries back to
// the machine that loaded them when another one is installed, and binds
// afresh on the new one. What stays on M is given back by the fixture's
// unload, which checks that M is owed nothing.
TEST_F(BindingTest, AnotherMachineIsBoundAfreshAndTheOldOneGetsItsLibrariesBack) {
  ASSERT_TRUE(kv::LoadSetupApi());
  kv::TkvSimMachine other;
  other.SetConfigManagerInSetupApi(false);  // two libraries to give back
  {
    kv::TkvMachineScope scope(other);
    EXPECT_TRUE(kv::LoadSetupApi());
    EXPECT_EQ(M->Outstanding().Libraries, 0u) << M->Dump();
    EXPECT_EQ(other.Outstanding().Libraries, 2u);
  }
  EXPECT_TRUE(kv::LoadSetupApi());
  EXPECT_EQ(other.Outstanding().Libraries, 0u) << other.Dump();
  EXPECT_EQ(M->Outstanding().Libraries, 1u);

  // A machine that cannot bind still gets nothing of M's kept.
  kv::TkvSimMachine bare;
  bare.RemoveLibrary("setupapi.dll");
  {
    kv::TkvMachineScope scope(bare);
    EXPECT_FALSE(kv::LoadSetupApi());
    EXPECT_EQ(M->Outstanding().Libraries, 0u) << M->Dump();
  }

  // A machine that is destroyed right after it was replaced got its
  // libraries back before it went; nothing asks it for anything later.
  {
    auto gone = std::make_unique<kv::TkvSimMachine>();
    kv::TkvMachineScope scope(*gone);
    EXPECT_TRUE(kv::LoadSetupApi());
  }
  EXPECT_TRUE(kv::LoadSetupApi());
  EXPECT_EQ(M->LoadCount("SetupAPI.dll"), 3u);
}

}  // namespace
}  // namespace kvtest
