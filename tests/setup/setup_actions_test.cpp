// Device state changes and driver updates of the setup layer, run on a
// simulated 32-bit Windows and on a simulated 64-bit Windows where the
// library is a 32-bit process: there the class installer refuses it, and the
// 64-bit stub written from the program's resource does the work. Every case
// runs on both machines; the expectations differ only where the stub steps in.
// The pauses and the debug output are recorded by the host, not waited for.
#include <functional>

#include "kvforwardinghost.h"
#include "kvutils.h"
#include "simfixture.h"

namespace kvtest {
namespace {

using kv::DWORD;

const char* const kDevice = "USB\\VID_0403&PID_6001\\A1";
const char* const kHardwareId = "USB\\VID_0403&PID_6001";
const char* const kClassText = "{36FC9E60-C465-11CF-8056-444553540000}";

// Records pauses and debug output instead of waiting and writing them, and
// gives out a temp folder of the test's own, with blanks in its name.
class TRecordingHost : public kv::TkvForwardingHost {
 public:
  TRecordingHost() : TkvForwardingHost(kv::NativeHost()) {}
  std::vector<DWORD> Pauses;
  std::vector<std::string> Debug;
  std::string TempFolder;

  void Sleep(DWORD milliseconds) override { Pauses.push_back(milliseconds); }
  void OutputDebugStringA(kv::LPCSTR text) override { Debug.push_back(text); }
  void OutputDebugStringW(const kv::WCHAR* text) override {
    std::u16string w;
    while (*text) w += *text++;
    Debug.push_back(kv::Utf16ToUtf8(w));
  }
  DWORD GetTempPathA(DWORD size, kv::LPSTR buffer) override {
    if (TempFolder.size() + 1 > size) return static_cast<DWORD>(TempFolder.size() + 1);
    std::memcpy(buffer, TempFolder.c_str(), TempFolder.size() + 1);
    return static_cast<DWORD>(TempFolder.size());
  }
};

struct TCall {
  DWORD State, Scope;
  bool From64Bit;
  DWORD Error;
  bool operator==(const TCall& o) const {
    return State == o.State && Scope == o.Scope && From64Bit == o.From64Bit && Error == o.Error;
  }
};
std::ostream& operator<<(std::ostream& os, const TCall& c) {
  return os << "{state " << c.State << ", scope " << c.Scope << (c.From64Bit ? ", 64-bit" : ", 32-bit") << ", error 0x"
            << std::hex << c.Error << std::dec << "}";
}

// GetParam(): the machine is a 64-bit Windows (the library a WOW64 process).
class SetupActionsTest : public ::testing::TestWithParam<bool> {
 protected:
  SetupActionsTest() : M(std::make_unique<kv::TkvSimMachine>()), Scope(*M), HostScope(H) {
    char temp[kv::MAX_PATH + 1] = {};
    const DWORD n = kv::NativeHost().GetTempPathA(kv::MAX_PATH, temp);
    const char slash = temp[n - 1];
    H.TempFolder = std::string(temp, n) + "kv stub " + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + slash;
    kv::NativeHost().CreateDirectoryA(H.TempFolder.c_str(), nullptr);
    M->SetWow64(GetParam());
    kv::TkvSimMachine::DevnodeSpec spec;
    spec.InstanceId = kDevice;
    spec.ClassGuid = kUsbClass;
    spec.DriverKey = std::string(kClassText) + "\\0007";
    spec.Service = "FTDIBUS";
    spec.HardwareIds = {"USB\\VID_0403&PID_6001&REV_0600", kHardwareId};
    Node = &M->AddDevnode(spec);
    M->AddDriverPackage("C:\\pkg\\kvusb.inf", "WinUSB");
  }
  ~SetupActionsTest() override {
    EXPECT_EQ(kv::NativeHost().GetFileAttributesA(StubPath().c_str()), kv::INVALID_FILE_ATTRIBUTES)
        << "the stub's file is left behind";
    kv::NativeHost().RemoveDirectoryA(H.TempFolder.c_str());
  }

  bool Wow64() const { return GetParam(); }
  std::string StubPath() const { return H.TempFolder + "kvX64stub.exe"; }
  std::string StubLine(const std::string& arguments) const { return "\"" + StubPath() + "\" " + arguments; }
  std::vector<TCall> CallsSince(std::size_t first) const {
    std::vector<TCall> calls;
    const auto all = M->InstallerCalls();
    for (std::size_t i = first; i < all.size(); ++i) {
      EXPECT_EQ(all[i].InstanceId, kDevice);
      EXPECT_TRUE(all[i].HasParams);
      calls.push_back({all[i].Params.StateChange, all[i].Params.Scope, all[i].From64Bit, all[i].Error});
    }
    return calls;
  }
  std::string Service() {
    const auto& v = Node->Properties.at(kv::SPDRP_SERVICE);
    std::u16string w(reinterpret_cast<const char16_t*>(v.Data.data()), v.Data.size() / 2 - 1);
    return kv::Utf16ToUtf8(w);
  }

  std::unique_ptr<kv::TkvSimMachine> M;
  kv::TkvMachineScope Scope;
  TRecordingHost H;
  kv::TkvHostScope HostScope;
  kv::TkvSimDevnode* Node = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Windows, SetupActionsTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Bits64" : "Bits32"; });

TEST_P(SetupActionsTest, EnableMakesTwoInstallerCallsAndDisableOne) {
  struct Case {
    DWORD State;
    std::vector<DWORD> Scopes;  // of the class-installer calls, in order
  };
  for (const Case& c : {Case{kv::DICS_DISABLE, {2}}, Case{kv::DICS_ENABLE, {1, 2}}}) {
    SCOPED_TRACE(c.State);
    const std::size_t first = M->InstallerCalls().size();
    const unsigned changes = M->DeviceChangeCount();
    const bool ok = c.State == kv::DICS_ENABLE ? kv::EnableDevice(kDevice, kUsbClass)
                                               : kv::DisableDevice(kDevice, kUsbClass);
    EXPECT_TRUE(ok);
    EXPECT_EQ(Node->Disabled, c.State == kv::DICS_DISABLE);
    EXPECT_EQ(M->DeviceChangeCount(), changes + 1) << "one broadcast per change";
    std::vector<TCall> expected;
    for (DWORD scope : c.Scopes) {
      if (Wow64()) expected.push_back({c.State, scope, false, kv::ERROR_IN_WOW64});
    }
    for (DWORD scope : c.Scopes) expected.push_back({c.State, scope, Wow64(), 0});
    EXPECT_EQ(CallsSince(first), expected);
  }
  // The stub is started once per change, with exactly its three items even
  // though the temp folder's name has blanks.
  const std::string args = std::string("\"") + kDevice + "\" %d \"" + kClassText + "\"";
  std::vector<std::string> started;
  if (Wow64())
    for (const char* change : {"2", "1"}) started.push_back(StubLine(kv::ReplaceAll(args, "%d", change)));
  EXPECT_EQ(M->StartedCommandLines(), started);
  EXPECT_EQ(H.Pauses, Wow64() ? std::vector<DWORD>({0, 0}) : std::vector<DWORD>());
}

TEST_P(SetupActionsTest, RestartRemovesAndReaddsOrHasTheStubRestart) {
  EXPECT_TRUE(kv::RestartDevice(kDevice, kUsbClass));
  EXPECT_EQ(Node->Restarts, 1u);
  EXPECT_FALSE(Node->Removed);
  EXPECT_TRUE(Node->Present);
  if (Wow64()) {
    // Removal is refused to a WOW64 process; the stub's property change
    // restarts the device instead.
    EXPECT_EQ(M->StartedCommandLines(),
              std::vector<std::string>{StubLine(std::string("\"") + kDevice + "\" 3 \"" + kClassText + "\"")});
    EXPECT_EQ(CallsSince(0), (std::vector<TCall>{{kv::DICS_PROPCHANGE, kv::DICS_FLAG_CONFIGSPECIFIC, true, 0}}));
    EXPECT_EQ(H.Pauses, std::vector<DWORD>{0});
  } else {
    EXPECT_TRUE(M->StartedCommandLines().empty());
    EXPECT_EQ(H.Pauses, std::vector<DWORD>{1000});
    EXPECT_EQ(M->DeviceChangeCount(), 2u);
  }
}

TEST_P(SetupActionsTest, EjectAsksFourTimesAtMostAndRaisesWithTheLastVeto) {
  struct Case {
    int Vetoes;
    bool Accepted;
    unsigned Requests;
    std::size_t Pauses;
  };
  for (const Case& c : {Case{0, true, 1, 0}, Case{3, true, 4, 3}, Case{4, false, 4, 3}}) {
    SCOPED_TRACE(c.Vetoes);
    Node->Removed = false;
    Node->Present = true;
    Node->EjectRequests = 0;
    H.Pauses.clear();
    M->SetEjectVetoes(*Node, c.Vetoes, "USBSTOR\\Disk " + std::to_string(c.Vetoes));
    if (c.Accepted) {
      EXPECT_TRUE(kv::EjectDevice(Node->Handle));
    } else {
      try {
        kv::EjectDevice(Node->Handle);
        ADD_FAILURE() << "no exception";
      } catch (const kv::Exception& e) {
        EXPECT_EQ(e.Message(), "USBSTOR\\Disk 4");
      }
    }
    EXPECT_EQ(Node->EjectRequests, c.Requests);
    EXPECT_EQ(H.Pauses, std::vector<DWORD>(c.Pauses, 500));
    EXPECT_EQ(Node->Removed, c.Accepted);
  }
}

// What reaches the caller's last error: the stub's exit code, or the error
// of the library's own step. Cases marked Bits64 run only where the stub runs.
TEST_P(SetupActionsTest, OutcomesArriveAsTheLastError) {
  struct Case {
    const char* Name;
    bool Only64;
    std::function<void(kv::TkvSimMachine&)> Arrange;
    std::function<bool()> Act;
    bool Result;
    DWORD Error;
    unsigned StubRuns;  // on the 64-bit machine
    std::vector<std::string> Debug;
  };
  const std::string device = std::string("\"") + kDevice + "\" ";
  const std::vector<Case> cases = {
      {"no arguments", false, nullptr, [] { return kv::RunX64Stub(""); }, false, 87, 1, {}},
      {"one argument", false, nullptr, [] { return kv::RunX64Stub("\"x\""); }, false, 87, 1, {}},
      {"four arguments", false, nullptr, [] { return kv::RunX64Stub("a b c d"); }, false, 87, 1, {}},
      {"a class text that does not read", false, nullptr,
       [&] { return kv::RunX64Stub(device + "2 \"{not a guid}\""); }, false, 87, 1, {}},
      {"an unknown device", false, nullptr,
       [&] { return kv::RunX64Stub("\"USB\\NONE\\0\" 2 \"" + std::string(kClassText) + "\""); }, false,
       kv::ERROR_NO_SUCH_DEVINST, 1, {}},
      {"a driver update by the stub", false, nullptr,
       [&] { return kv::RunX64Stub(std::string("\"") + kHardwareId + "\" \"C:\\pkg\\kvusb.inf\""); }, true, 0, 1, {}},
      {"an unknown device is not handed on", false, nullptr,
       [] { return kv::DisableDevice("USB\\NONE\\0", kUsbClass); }, false, kv::ERROR_NO_SUCH_DEVINST, 0, {}},
      {"a refused parameter set", true, [](kv::TkvSimMachine& m) { m.Fail("SetupDiSetClassInstallParamsW", 5); },
       [] { return kv::DisableDevice(kDevice, kUsbClass); }, false, 5, 1,
       {"WOW64: SetupDiSetClassInstallParams", "WOW64: SetupDiCallClassInstaller"}},
      {"a failed step that leaves no code", true,
       [](kv::TkvSimMachine& m) { m.Fail("SetupDiSetClassInstallParamsW", 0); },
       [] { return kv::DisableDevice(kDevice, kUsbClass); }, false, kv::ERROR_GEN_FAILURE, 1,
       {"WOW64: SetupDiSetClassInstallParams", "WOW64: SetupDiCallClassInstaller"}},
      {"a refused call on 32-bit Windows", false,
       [](kv::TkvSimMachine& m) { m.Fail("SetupDiSetClassInstallParamsA", kv::ERROR_ACCESS_DENIED); },
       [] { return kv::DisableDevice(kDevice, kUsbClass); }, false, kv::ERROR_ACCESS_DENIED, 0, {}},
  };
  for (const Case& c : cases) {
    if (c.Only64 && !Wow64()) continue;
    SCOPED_TRACE(c.Name);
    M->ClearFailures();
    H.Debug.clear();
    const unsigned runs = M->StubRuns();
    if (c.Arrange) c.Arrange(*M);
    kv::SetLastError(0xDEADBEEF);
    EXPECT_EQ(c.Act(), c.Result);
    EXPECT_EQ(kv::GetLastError(), c.Error);
    EXPECT_EQ(M->StubRuns() - runs, c.StubRuns);
    EXPECT_EQ(H.Debug, c.Debug);
  }
}

TEST_P(SetupActionsTest, DriverUpdateForAHardwareId) {
  EXPECT_EQ(kv::InstallDriverForDevice(kHardwareId, "C:\\pkg\\kvusb.inf"), !Wow64());
  EXPECT_EQ(Service(), Wow64() ? "FTDIBUS" : "WinUSB");
  std::vector<std::string> debug = {"kvLink Lib installs driver.", Wow64() ? "kvLink Lib Error:E0000235" : "kvLink Lib OK!"};
  EXPECT_EQ(H.Debug, debug);
  const auto updates = M->DriverUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].Flags, kv::INSTALLFLAG_FORCE);
  EXPECT_FALSE(updates[0].Wide);

  // The error survives the release of newdev, even one that sets its own.
  M->Fail("FreeLibrary", kv::ERROR_INVALID_HANDLE, 1);
  kv::BOOL reboot = kv::TRUE;
  EXPECT_FALSE(kv::UpdateDriverForPnPDevices(nullptr, "USB\\VID_FFFF&PID_0001", "C:\\pkg\\kvusb.inf", 1, &reboot));
  EXPECT_EQ(kv::GetLastError(), Wow64() ? kv::ERROR_IN_WOW64 : kv::ERROR_NO_SUCH_DEVINST);
  EXPECT_FALSE(kv::UpdateDriverForPnPDevices(nullptr, kHardwareId, "C:\\other.inf", 1, &reboot));
  EXPECT_EQ(kv::GetLastError(), Wow64() ? kv::ERROR_IN_WOW64 : kv::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(M->LoadCount("newdev.dll"), 3u) << "bound for each call";

  M->RemoveExport("newdev.dll", "UpdateDriverForPlugAndPlayDevicesA");
  EXPECT_FALSE(kv::UpdateDriverForPnPDevices(nullptr, kHardwareId, "C:\\pkg\\kvusb.inf", 1, &reboot));
  M->RemoveLibrary("newdev.dll");
  EXPECT_FALSE(kv::InstallDriverForDevice(kHardwareId, "C:\\pkg\\kvusb.inf"));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_MOD_NOT_FOUND);
}

TEST_P(SetupActionsTest, NothingRunsWithoutTheServicesOrTheStubsFile) {
  // A stub that cannot be written is not run, nor is what sits at its path.
  H.TempFolder += "missing" + H.TempFolder.substr(H.TempFolder.size() - 1);
  EXPECT_FALSE(kv::RunX64Stub("a b c"));
  EXPECT_NE(kv::GetLastError(), 0u);
  EXPECT_TRUE(M->StartedCommandLines().empty());
  H.TempFolder.resize(H.TempFolder.size() - 8);

  // The machine runs the stub only from the file written from the resource.
  const std::string path = StubPath();
  kv::HANDLE f = kv::Host().CreateFileA(path.c_str(), kv::GENERIC_WRITE, 0, nullptr, kv::CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, kv::INVALID_HANDLE_VALUE);
  DWORD written = 0;
  kv::Host().WriteFile(f, "MZ", 2, &written, nullptr);
  kv::Host().CloseHandle(f);
  kv::SetLastError(0);
  kv::RunProcess("\"" + path + "\" a b", H.TempFolder, true, true);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_BAD_EXE_FORMAT);
  kv::Host().DeleteFileA(path.c_str());
  kv::RunProcess("\"" + path + "\" a b", H.TempFolder, true, true);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(M->StubRuns(), 0u);

  // Systems without the optional entry points cannot restart or change.
  // (The table is bound once per machine: the exports go before the first call.)
  M->RemoveExport("SetupAPI.dll", "SetupDiOpenDeviceInfoA");
  M->RemoveExport("SetupAPI.dll", "CM_Request_Device_EjectA");
  M->RemoveExport("cfgmgr32.dll", "CM_Request_Device_EjectA");
  EXPECT_FALSE(kv::RestartDevice(kDevice, kUsbClass));
  EXPECT_FALSE(kv::EnableDevice(kDevice, kUsbClass));
  EXPECT_FALSE(kv::EjectDevice(Node->Handle));
  EXPECT_TRUE(M->InstallerCalls().empty());
  EXPECT_FALSE(Node->Removed);
}

TEST(SetupErrorText, NamesTheCodeAndExplainsTwoKinds) {
  const std::pair<DWORD, const char*> cases[] = {
      {5, "#00000005."},
      {0xE000020B, "#E000020B. Device not found."},
      {0xE000020A, "#E000020A."},
      {0xE000023E, "#E000023E."},
      {0xE000023F, "#E000023F. Driver authentication error."},
      {0xE0000242, "#E0000242. Driver authentication error."},
      {0xE0000245, "#E0000245. Driver authentication error."},
      {0xE0000246, "#E0000246."},
  };
  for (const auto& c : cases) EXPECT_EQ(kv::SetupErrorText(c.first), c.second);
}

}  // namespace
}  // namespace kvtest
