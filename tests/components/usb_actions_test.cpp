// The device actions of the USB device component on a simulated machine: the
// log lines, the missing selection, what each action does to the device as
// the next enumeration sees it, and the outcome the component keeps.
#include "comptest.h"
#include "../common/kvtestboard.h"

#include <memory>

#include "kvforwardinghost.h"
#include "kvtext.h"
#include "kvusb.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"

namespace kv::test {
namespace {

const char* const kKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0001";
const char* const kId = "USB\\VID_0403&PID_6001\\A1";

// The pauses of restart and eject are counted, not waited for.
class TNoPauses : public TkvForwardingHost {
 public:
  TNoPauses() : TkvForwardingHost(NativeHost()) {}
  void Sleep(DWORD milliseconds) override { Total += milliseconds; }
  DWORD Total = 0;
};

// One device with two pipes on port 1 of a root hub.
class UsbActionsTest : public ::testing::Test {
 protected:
  UsbActionsTest() : M(std::make_unique<TkvSimMachine>()), Scope(*M), Usb(*M) {
    TkvSimMachine::DevnodeSpec spec;
    spec.InstanceId = kId;
    spec.DriverKey = kKey;
    spec.Description = "Serial Converter";
    spec.Service = "FTDIBUS";
    TkvSimUsbDevice d;
    d.IdVendor = 0x0403;
    d.IdProduct = 0x6001;
    d.DriverKey = kKey;
    d.Pipes = {TkvSimUsbEndpoint{0x81, 2, 64, 0, 0}, TkvSimUsbEndpoint{0x02, 2, 64, 0, 0}};
    Node = &AddBoard(*M, Usb, spec, d);
    Component.SetLog(&Log);
    Component.RefreshDeviceList();
  }

  TNoPauses Pauses;
  TkvHostScope HostScope{Pauses};
  std::unique_ptr<TkvSimMachine> M;
  TkvMachineScope Scope;
  TkvSimUsb Usb;
  TkvSimDevnode* Node;
  TTestLog Log{nullptr};
  TkvUSB Component{nullptr};
};

TEST_F(UsbActionsTest, WithoutASelectionNothingIsLoggedOrDone) {
  ASSERT_EQ(Component.DeviceCount(), 1);
  for (auto action : {&TkvUSB::Eject, &TkvUSB::Reset, &TkvUSB::Enable, &TkvUSB::Disable}) {
    Log.Lines.clear();
    try {
      (Component.*action)();
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Device is not selected");
    }
    EXPECT_EQ(Log.Lines, (std::vector<TLogLine>{{0, "Fatal Error: 8, 1, Device is not selected"}}));
  }
  // Suppressed, the action does nothing.
  Component.SetOnFatalError([](TObject*, DWORD, DWORD, const std::string&, bool& raise) { raise = false; });
  EXPECT_FALSE(Component.CheckDeviceSelected());
  Component.Disable();
  EXPECT_FALSE(Node->Disabled);
  EXPECT_TRUE(M->InstallerCalls().empty());
}

TEST_F(UsbActionsTest, ActionsChangeTheDeviceAsTheNextEnumerationSeesIt) {
  struct Case {
    void (TkvUSB::*Action)();
    const char* Line;
    bool Listed;  // after the next enumeration
    int Pipes;
  };
  const std::string tail = std::string("Serial Converter | ") + kId;
  const Case cases[] = {
      {&TkvUSB::Disable, "TkvUSBDisable USB device: ", true, 0},
      {&TkvUSB::Enable, "TkvUSBEnable USB device:", true, 2},
      {&TkvUSB::Reset, "TkvUSBReset USB device:", true, 2},
      {&TkvUSB::Eject, "TkvUSBEject USB device:", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Line);
    Component.SetDeviceIndex(0);
    ASSERT_NE(Component.SelectedDevice(), nullptr);
    Log.Lines.clear();
    const unsigned changes = M->DeviceChangeCount();
    (Component.*c.Action)();
    EXPECT_EQ(Log.Lines, (std::vector<TLogLine>{{1, c.Line + tail}}));
    EXPECT_TRUE(Component.LastActionOk());
    EXPECT_EQ(Component.LastActionError(), 0u);
    EXPECT_GT(M->DeviceChangeCount(), changes) << "the system broadcasts the change";
    Component.RefreshDeviceList();
    ASSERT_EQ(Component.DeviceCount(), c.Listed ? 1 : 0);
    if (c.Listed) {
      EXPECT_EQ(static_cast<TkvUsbDevice*>(Component.GetDevice(0))->PipeCount(), c.Pipes);
    }
  }
}

TEST_F(UsbActionsTest, OnA64BitWindowsTheStubCarriesTheActionsOut) {
  M->SetWow64(true);
  Component.SetDeviceIndex(0);
  Component.Reset();
  Component.Disable();
  EXPECT_TRUE(Component.LastActionOk());
  EXPECT_EQ(M->StubRuns(), 2u);
  EXPECT_EQ(Node->Restarts, 1u);
  EXPECT_TRUE(Node->Disabled);
  // A stub that fails hands its code on.
  M->Fail("SetupDiOpenDeviceInfoW", ERROR_NOT_ENOUGH_MEMORY, 1);
  Component.Enable();
  EXPECT_FALSE(Component.LastActionOk());
  EXPECT_EQ(Component.LastActionError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_TRUE(Node->Disabled);
}

TEST_F(UsbActionsTest, AFailedActionKeepsItsErrorAndARefusedEjectRaises) {
  Component.SetDeviceIndex(0);
  M->Fail("SetupDiSetClassInstallParamsA", ERROR_ACCESS_DENIED, 1);
  Component.Disable();  // no result, no exception
  EXPECT_FALSE(Component.LastActionOk());
  EXPECT_EQ(Component.LastActionError(), ERROR_ACCESS_DENIED);
  // A failure that leaves no code still reads as a failure.
  M->Fail("SetupDiSetClassInstallParamsA", 0, 1);
  Component.Disable();
  EXPECT_FALSE(Component.LastActionOk());
  EXPECT_NE(Component.LastActionError(), 0u);
  Component.Disable();
  EXPECT_TRUE(Component.LastActionOk());

  M->SetEjectVetoes(*Node, 4, "Volume E:");
  EXPECT_THROW(Component.Eject(), Exception);
  EXPECT_FALSE(Component.LastActionOk());
  EXPECT_NE(Component.LastActionError(), 0u);
  EXPECT_EQ(Node->EjectRequests, 4u);
  EXPECT_EQ(Pauses.Total, 1500u);
}

}  // namespace
}  // namespace kv::test
