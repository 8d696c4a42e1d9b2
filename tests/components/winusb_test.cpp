// WinUSB on simulated machines: the binding (loaded once per machine, entry
// points looked up at each call, missing pieces failing quietly), the
// simulated board's transfers (loopback, pending, time-out, abort, stall,
// unplugged) and the opening of the USB device component.
#include "winusbtest.h"

#include <thread>

#include "kvtext.h"

namespace kv::test {
namespace {

// ---- the binding ------------------------------------------------------------------------

TEST(WinUsbBinding, LoadsOncePerMachineAndLooksUpAtEveryCall) {
  auto first = TkvSimMachine::FromJson("{}");
  auto second = TkvSimMachine::FromJson("{}");
  {
    TkvMachineScope scope(*first);
    ASSERT_TRUE(LoadWinUsb());
    ASSERT_TRUE(LoadWinUsb());
    EXPECT_EQ(first->LoadCount("Winusb.dll"), 1u);
    const unsigned lookups = first->LookupCount();
    WINUSB_INTERFACE_HANDLE h = nullptr;
    WinUsb_Initialize(INVALID_HANDLE_VALUE, &h);
    WinUsb_Initialize(INVALID_HANDLE_VALUE, &h);
    EXPECT_EQ(first->LookupCount(), lookups + 2) << "an entry point is looked up at every call";
  }
  EXPECT_EQ(first->Outstanding().Libraries, 0u) << "given back when its machine was replaced";
  {
    // Another machine: its own library, not the first one's handle.
    TkvMachineScope scope(*second);
    EXPECT_TRUE(LoadWinUsb());
    EXPECT_EQ(second->LoadCount("Winusb.dll"), 1u);
    EXPECT_EQ(second->Outstanding().Libraries, 1u);
    EXPECT_EQ(first->LoadCount("Winusb.dll"), 1u);
    // As at program end: only on the machine that handed it out.
    UnloadWinUsb();
    EXPECT_EQ(second->Outstanding().Libraries, 0u);
    EXPECT_EQ(first->Outstanding().Libraries, 0u);
  }
}

TEST(WinUsbBinding, MissingLibraryOrEntryFailsQuietlyWithTheLookupsError) {
  auto m = TkvSimMachine::FromJson(kvDemoMachineJson);
  TkvMachineScope scope(*m);
  auto board = std::dynamic_pointer_cast<TkvSimWinUsb>(m->FindDeviceObject(kBoardPath));
  ASSERT_TRUE(board);
  HANDLE file = m->CreateFileA(kBoardPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  WINUSB_INTERFACE_HANDLE h = nullptr;
  ASSERT_TRUE(WinUsb_Initialize(file, &h));

  m->RemoveExport("Winusb.dll", "WinUsb_WritePipe");
  BYTE data[4] = {1, 2, 3, 4};
  ULONG n = 0;
  EXPECT_FALSE(WinUsb_WritePipe(h, kBoardOut, data, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(board->LoopbackBytes(), 0u) << "nothing was called";
  BYTE value = 1;
  EXPECT_TRUE(WinUsb_SetPipePolicy(h, kBoardIn, AUTO_CLEAR_STALL, 1, &value)) << "the other entries still work";

  // A machine without WinUSB: every operation fails and touches no handle.
  auto bare = TkvSimMachine::FromJson(R"({"services": {"missingLibraries": ["winusb.dll"]}})");
  TkvMachineScope bareScope(*bare);
  EXPECT_FALSE(LoadWinUsb());
  EXPECT_FALSE(WinUsb_SetPipePolicy(h, kBoardIn, AUTO_CLEAR_STALL, 1, &value));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_FALSE(WinUsb_Free(h));
  EXPECT_EQ(bare->LoadCount("Winusb.dll"), 0u);
  EXPECT_EQ(m->WinUsbInterfaceCount(), 1u) << "the interface was not freed through another machine";
  TkvMachineScope back(*m);
  EXPECT_TRUE(WinUsb_Free(h));
  m->CloseHandle(file);
}

// ---- the simulated board -----------------------------------------------------------------

class SimWinUsbTest : public WinUsbBoardTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Board);
    File = M->CreateFileA(kBoardPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                          nullptr);
    ASSERT_TRUE(WinUsb_Initialize(File, &H));
    Ov.hEvent = Host().CreateEventA(nullptr, FALSE, FALSE, nullptr);
  }
  void TearDown() override {
    WinUsb_Free(H);
    M->CloseHandle(File);
    Host().CloseHandle(Ov.hEvent);
    WinUsbBoardTest::TearDown();
  }
  void SetTimeout(BYTE pipe, DWORD ms) { ASSERT_TRUE(WinUsb_SetPipePolicy(H, pipe, PIPE_TRANSFER_TIMEOUT, 4, &ms)); }
  // Starts an overlapped read that must stay pending (until its time-out,
  // which may be near on a slow machine, when Expiring).
  void StartPendingRead(bool Expiring = false) {
    ULONG n = 0;
    ASSERT_FALSE(WinUsb_ReadPipe(H, kBoardIn, Buffer, sizeof Buffer, &n, &Ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    if (!Expiring) {
      ASSERT_EQ(Host().WaitForSingleObject(Ov.hEvent, 0), WAIT_TIMEOUT);
    }
  }
  // Waits for the read's completion: its result, its error, its count.
  std::tuple<BOOL, DWORD, DWORD> Finish() {
    DWORD n = 0;
    const BOOL ok = WinUsb_GetOverlappedResult(H, &Ov, &n, TRUE);
    return {ok, ok ? 0 : GetLastError(), n};
  }

  HANDLE File = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE H = nullptr;
  OVERLAPPED Ov{};
  BYTE Buffer[64] = {};
};

TEST_F(SimWinUsbTest, LoopbackReadPendsUntilDataAndKeepsOrder) {
  StartPendingRead();
  BYTE out[100];
  for (int i = 0; i < 100; ++i) out[i] = static_cast<BYTE>(i);
  ULONG written = 0;
  ASSERT_TRUE(WinUsb_WritePipe(H, kBoardOut, out, 100, &written, nullptr));
  EXPECT_EQ(written, 100u);
  EXPECT_EQ(Host().WaitForSingleObject(Ov.hEvent, 5000), WAIT_OBJECT_0) << "the completion signals the event";
  EXPECT_EQ(Finish(), std::make_tuple(TRUE, 0u, 64u)) << "at most the read's length";
  EXPECT_EQ(Buffer[0], 0);
  EXPECT_EQ(Buffer[63], 63);
  // The rest is there at once: a read that completes immediately succeeds.
  ULONG n = 0;
  EXPECT_TRUE(WinUsb_ReadPipe(H, kBoardIn, Buffer, sizeof Buffer, &n, &Ov));
  EXPECT_EQ(n, 36u);
  EXPECT_EQ(Buffer[0], 64);
  EXPECT_EQ(Board->PendingCount(), 0u);
}

TEST_F(SimWinUsbTest, PendingReadEndsByTimeoutAbortOrUnplug) {
  SetTimeout(kBoardIn, 30);
  StartPendingRead(true);
  EXPECT_EQ(Finish(), std::make_tuple(FALSE, ERROR_SEM_TIMEOUT, 0u));
  SetTimeout(kBoardIn, 0);

  StartPendingRead();
  ASSERT_TRUE(WinUsb_AbortPipe(H, kBoardIn));
  EXPECT_EQ(Finish(), std::make_tuple(FALSE, ERROR_OPERATION_ABORTED, 0u));

  // A synchronous read waits in the call; unplugging the board ends it.
  std::thread reader([&] {
    ULONG n = 0;
    BYTE b[8];
    EXPECT_FALSE(WinUsb_ReadPipe(H, kBoardIn, b, sizeof b, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
  });
  while (Board->PendingCount() == 0) std::this_thread::sleep_for(1ms);
  Board->SetGone(true);
  reader.join();
  Host().ResetEvent(Ov.hEvent);
  ULONG n = 0;
  EXPECT_FALSE(WinUsb_ReadPipe(H, kBoardIn, Buffer, sizeof Buffer, &n, &Ov)) << "refused at once";
  EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
  EXPECT_EQ(Host().WaitForSingleObject(Ov.hEvent, 0), WAIT_TIMEOUT) << "nothing completes";
}

TEST_F(SimWinUsbTest, PipeBehavioursAndWrongDirections) {
  Board->SetPipe(0x83, TkvSimPipeKind::Stall);
  ULONG n = 0;
  EXPECT_FALSE(WinUsb_ReadPipe(H, 0x83, Buffer, sizeof Buffer, &n, &Ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING) << "a stall is reported at the completion";
  EXPECT_EQ(Finish(), std::make_tuple(FALSE, ERROR_GEN_FAILURE, 0u));

  Board->SetPipe(0x82, TkvSimPipeKind::Source, 0);
  EXPECT_TRUE(WinUsb_ReadPipe(H, 0x82, Buffer, 4, &n, nullptr));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(Buffer[3], 3);

  EXPECT_FALSE(WinUsb_ReadPipe(H, kBoardOut, Buffer, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(WinUsb_WritePipe(H, kBoardIn, Buffer, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(WinUsb_WritePipe(H, 0x02, Buffer, 4, &n, nullptr)) << "a pipe not named is a sink";
  EXPECT_EQ(Board->LoopbackBytes(), 0u);
}

// ---- opening the USB device component -----------------------------------------------------

TEST(UsbDevicePath, OnlyTheKernelPrefixIsRewritten) {
  EXPECT_EQ(ToWin32DevicePath("\\??\\usb#vid_0403&pid_6001#x"), "\\\\.\\usb#vid_0403&pid_6001#x");
  EXPECT_EQ(ToWin32DevicePath("\\\\.\\usb#vid_0403&pid_6001#x"), "\\\\.\\usb#vid_0403&pid_6001#x");
  EXPECT_EQ(ToWin32DevicePath("\\?"), "\\?");
  EXPECT_EQ(ToWin32DevicePath(""), "");
}

class UsbOpenTest : public WinUsbBoardTest {};

TEST_F(UsbOpenTest, OpensTheBoardThroughWinUsbAndClosesBothHandles) {
  ASSERT_NE(Usb->SelectedDevice(), nullptr);
  ASSERT_EQ(Usb->SelectedDevice()->FileName.substr(0, 4), "\\??\\");
  const std::size_t before = M->OpenHandleCount();
  Usb->SetActive(true);
  ASSERT_TRUE(Usb->Active());
  EXPECT_NE(Usb->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_NE(Usb->WinUsbHandle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(M->WinUsbInterfaceCount(), 1u);
  // Opening again closes first: still one of each.
  Usb->Open();
  EXPECT_TRUE(Usb->Active());
  EXPECT_EQ(M->WinUsbInterfaceCount(), 1u);
  EXPECT_EQ(M->OpenHandleCount(), before + 1);
  Usb->SetActive(false);
  EXPECT_EQ(Usb->WinUsbHandle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Usb->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(M->WinUsbInterfaceCount(), 0u);
  EXPECT_EQ(M->OpenHandleCount(), before);
}

TEST_F(UsbOpenTest, FailedOpensNameTheDriverRuleAndTheLastError) {
  struct Case {
    const char* Name;
    const char* Service;
    bool RemoveDevice;      // the path opens nothing
    DWORD InitializeError;  // WinUsb_Initialize refuses with this
    const char* Message;
    DWORD Detail;
  } cases[] = {
      {"no such path, WinUSB", "WinUSB", true, 0, "USB device open is failed.", ERROR_FILE_NOT_FOUND},
      {"no such path, lower case", "winusb", true, 0, "USB device open is failed.", ERROR_FILE_NOT_FOUND},
      {"another driver", "Ser2pl", true, 0, "USB device open is failed. Driver is unknown.", ERROR_FILE_NOT_FOUND},
      {"WinUSB refuses", "WINUSB", false, ERROR_GEN_FAILURE, "USB device open is failed.", ERROR_GEN_FAILURE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto m = TkvSimMachine::FromJson(kvDemoMachineJson);
    TkvMachineScope scope(*m);
    m->SetProperty(*m->FindDevnode(kBoardId), SPDRP_SERVICE, c.Service);
    if (c.RemoveDevice) m->RemoveDeviceObject(kBoardPath);
    if (c.InitializeError) m->Fail("WinUsb_Initialize", c.InitializeError);
    TComponent owner(nullptr);
    auto* usb = new TkvUSB(&owner);
    usb->SetIdVendor(0x16C0);
    usb->RefreshDeviceList();
    usb->SetDeviceIndex(0);
    DWORD code = 0, detail = 0;
    std::string message;
    usb->SetOnFatalError([&](TObject*, DWORD e, DWORD d, const std::string& text, bool& raise) {
      code = e;
      detail = d;
      message = text;
      raise = false;
    });
    const std::size_t handles = m->OpenHandleCount();
    usb->SetActive(true);
    EXPECT_FALSE(usb->Active());
    EXPECT_EQ(usb->WinUsbHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(code, 8u);
    EXPECT_EQ(message, c.Message);
    EXPECT_EQ(detail, c.Detail);
    EXPECT_EQ(m->OpenHandleCount(), handles) << "the file handle of a refused device is closed";
  }
}

TEST_F(UsbOpenTest, WithoutSelectionNothingIsOpened) {
  Usb->SetDeviceIndex(-1);
  ASSERT_EQ(Usb->SelectedDevice(), nullptr);
  try {
    Usb->SetActive(true);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Device is not selected");
  }
  EXPECT_FALSE(Usb->Active());
  EXPECT_EQ(M->WinUsbInterfaceCount(), 0u);
}

}  // namespace
}  // namespace kv::test
