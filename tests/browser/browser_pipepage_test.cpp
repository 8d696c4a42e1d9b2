// The "USB Device" page's pipe terminal on the demo machine: the pipe lists
// follow kvUSB1's selection, "Active" opens the device and then the pair and
// closes them the other way round, and a failed click leaves the check box
// showing whether the device is open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "kvframework.h"
#include "pipepage.h"
#include "sim/kvsimmachine.h"

extern const char kvDemoMachineJson[];

namespace {

using namespace quorvex;

class PipePageTest : public ::testing::Test {
 protected:
  PipePageTest() : M(kv::TkvSimMachine::FromJson(kvDemoMachineJson)), Scope(*M) {
    Usb = new kv::TkvUSB(&Owner);
    Pair = new kv::TkvUSBPipePair(&Owner);
    Pair->SetUsbDevice(Usb);
    Pair->SetOnAfterReceive([this](kv::TObject*, kv::BYTE*, kv::DWORD count) { Received += count; });
    Page = std::make_unique<TkvPipePage>(*Usb, *Pair);
    Page->OnListsChanged = [this] { ++Changes; };
    Usb->RefreshDeviceList();
  }
  ~PipePageTest() override { Page.reset(); }
  // Selects the first listed device with this vendor id.
  void Select(kv::WORD vendor) {
    for (int i = 0; i < Usb->DeviceCount(); ++i)
      if (static_cast<kv::TkvUsbDevice*>(Usb->GetDevice(i))->IdVendor == vendor) return Usb->SetDeviceIndex(i);
    FAIL() << "no device of vendor " << vendor;
  }
  std::string ClickError(bool checked, int in, int out) {
    try {
      Page->ActiveClick(checked, in, out);
    } catch (const kv::Exception& e) {
      return e.what();
    }
    return "";
  }

  std::unique_ptr<kv::TkvSimMachine> M;
  kv::TkvMachineScope Scope;
  kv::TComponent Owner{nullptr};
  kv::TkvUSB* Usb = nullptr;
  kv::TkvUSBPipePair* Pair = nullptr;
  std::unique_ptr<TkvPipePage> Page;
  int Changes = 0;
  std::atomic<unsigned> Received{0};
};

TEST_F(PipePageTest, TheListsFollowTheSelectedDevice) {
  const int before = Changes;
  Select(0x16C0);
  EXPECT_EQ(Changes, before + 1);
  const TkvPipeLists& board = Page->Lists();
  ASSERT_EQ(board.In.size(), 1u);
  ASSERT_EQ(board.Out.size(), 1u);
  EXPECT_EQ(board.In[0].Index, 0);
  EXPECT_EQ(board.Out[0].Index, 1);
  EXPECT_NE(board.In[0].Text.find("(IN endpoint)"), std::string::npos) << board.In[0].Text;
  Select(0x046D);  // the receiver: two interrupt IN pipes
  ASSERT_EQ(Page->Lists().In.size(), 2u);
  EXPECT_EQ(Page->Lists().In[1].Index, 1);
  EXPECT_TRUE(Page->Lists().Out.empty());
  EXPECT_TRUE(PipeListsOf(nullptr).In.empty());
}

TEST_F(PipePageTest, ActiveOpensTheDeviceThenThePairAndClosesThemTheOtherWayRound) {
  Select(0x16C0);
  EXPECT_EQ(ClickError(true, 0, 0), "");
  ASSERT_TRUE(Pair->Active());
  ASSERT_TRUE(Usb->Active());
  Pair->SendString("echo");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Received < 4 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(Received, 4u) << "the loopback board sends it back";
  EXPECT_EQ(ClickError(false, 0, 0), "");
  EXPECT_FALSE(Pair->Active());
  EXPECT_FALSE(Usb->Active());
  EXPECT_EQ(M->WinUsbInterfaceCount(), 0u);
  Select(0x046D);
  EXPECT_EQ(Pair->ReadBuffer(), nullptr) << "no reader left";
}

TEST_F(PipePageTest, AFailedClickEndsWithTheCheckBoxShowingTheDevice) {
  Select(0x16C0);
  EXPECT_EQ(ClickError(true, -1, -1), "List index out of bounds (-1)");
  EXPECT_FALSE(Pair->Active());
  EXPECT_TRUE(Page->CheckedAfterError()) << "the device itself was opened";
  EXPECT_EQ(ClickError(false, -1, -1), "");

  Select(0x0781);  // the USB stick, under USBSTOR
  EXPECT_EQ(ClickError(true, 0, 0), "USB device open is failed. Driver is unknown.");
  EXPECT_FALSE(Page->CheckedAfterError());
  EXPECT_FALSE(Pair->Active());
}

}  // namespace
