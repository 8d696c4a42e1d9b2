// What the WinUSB tests share: a copy of the demo machine installed for the
// test, its loopback board under WinUSB, and a USB device component that has
// the board selected.
#pragma once

#include "comptest.h"

#include <memory>

#include "kvsetupapi.h"
#include "kvusb.h"
#include "kvusbman.h"
#include "kvusbw32.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimwinusb.h"

extern const char kvDemoMachineJson[];

namespace kv::test {

// Where the demo machine's test board answers.
constexpr const char* kBoardPath = "\\\\.\\USB#VID_16C0&PID_05DC#KV0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr const char* kBoardId = "USB\\VID_16C0&PID_05DC\\KV0001";
constexpr BYTE kBoardIn = 0x81;
constexpr BYTE kBoardOut = 0x01;

class WinUsbBoardTest : public ::testing::Test {
 protected:
  WinUsbBoardTest()
      : M(TkvSimMachine::FromJson(kvDemoMachineJson)),
        Scope(*M),
        Board(std::dynamic_pointer_cast<TkvSimWinUsb>(M->FindDeviceObject(kBoardPath))) {
    Usb = new TkvUSB(&Owner);
    Usb->SetIdVendor(0x16C0);
    Usb->SetIdProduct(0x05DC);
    Usb->RefreshDeviceList();
    Usb->SetDeviceIndex(0);
  }
  // Whatever a test opened, everything goes back to the machine: handles,
  // the WinUSB interfaces and the library references.
  void TearDown() override {
    Owner.DestroyComponents();
    USBManager().Clear();
    UnloadSetupApi();
    UnloadWinUsb();
    EXPECT_EQ(M->WinUsbInterfaceCount(), 0u);
    EXPECT_EQ(M->Outstanding(), TkvSimMachine::TOutstanding{}) << M->Dump();
  }

  std::unique_ptr<TkvSimMachine> M;
  TkvMachineScope Scope;
  std::shared_ptr<TkvSimWinUsb> Board;
  TComponent Owner{nullptr};
  TkvUSB* Usb = nullptr;
};

}  // namespace kv::test
