// The USB pipe pair on the demo machine's loopback board: resolving the
// pipes, the policies an open sets, the reader (buffer size, time-outs, an
// unplugged device, a close during a pending read), sending, the terminal
// round trip, what happens when the USB component closes or goes, and a
// storm of opens and closes while data flows.
#include "winusbtest.h"

#include <algorithm>
#include <fstream>
#include <mutex>

#include "kvusbpipe.h"
#ifndef _WIN32
#include "posix/kvposixhost.h"
#endif

namespace kv::test {
namespace {

// Collects what it is given, from whichever thread.
class TCollector : public TkvCustomDataProcessor {
 public:
  using TkvCustomDataProcessor::TkvCustomDataProcessor;
  ~TCollector() override { Detach(); }
  void DataReceived(BYTE* Buffer, DWORD Count, bool& Handled) override {
    std::lock_guard<std::mutex> lock(Lock);
    Bytes.insert(Bytes.end(), Buffer, Buffer + Count);
    Blocks.push_back(Count);
    Handled = true;
  }
  std::size_t Size() {
    std::lock_guard<std::mutex> lock(Lock);
    return Bytes.size();
  }
  std::mutex Lock;
  std::vector<BYTE> Bytes;
  std::vector<DWORD> Blocks;
};

#ifndef _WIN32
// Threads of this process (Linux).
int ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}
#endif

// The board's pipe list is 81 (IN) at index 0 and 01 (OUT) at index 1.
class PipePairTest : public WinUsbBoardTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Board);
    ASSERT_NE(Usb->SelectedDevice(), nullptr);
    ASSERT_EQ(Usb->SelectedDevice()->PipeCount(), 2);
    Pair = new TkvUSBPipePair(&Owner);
    Pair->SetUsbDevice(Usb);
    Collector = new TCollector(&Owner);
  }
  // Reads what the loopback still holds, through an interface of its own.
  void DeviceSideDrain() {
    HANDLE file = M->CreateFileA(kBoardPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    WINUSB_INTERFACE_HANDLE h = nullptr;
    ASSERT_TRUE(WinUsb_Initialize(file, &h));
    BYTE buffer[512];
    ULONG n = 0;
    while (Board->LoopbackBytes() > 0) ASSERT_TRUE(WinUsb_ReadPipe(h, kBoardIn, buffer, sizeof buffer, &n, nullptr));
    WinUsb_Free(h);
    M->CloseHandle(file);
  }
  // Writes to the board as the device's other side would: through an
  // interface of its own.
  void DeviceSide(const std::vector<BYTE>& bytes) {
    HANDLE file = M->CreateFileA(kBoardPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    WINUSB_INTERFACE_HANDLE h = nullptr;
    ASSERT_TRUE(WinUsb_Initialize(file, &h));
    ULONG n = 0;
    ASSERT_TRUE(WinUsb_WritePipe(h, kBoardOut, const_cast<BYTE*>(bytes.data()), static_cast<ULONG>(bytes.size()), &n,
                                 nullptr));
    WinUsb_Free(h);
    M->CloseHandle(file);
  }
  void OpenBoth(int in = 0, int out = 1) {
    Usb->SetActive(true);
    Pair->SetPipeIn(in);
    Pair->SetPipeOut(out);
    Pair->SetActive(true);
  }

  TkvUSBPipePair* Pair = nullptr;
  TCollector* Collector = nullptr;
};

TEST_F(PipePairTest, TheOwnerIsTheUsbDeviceAndTheIdsFollowTheIndexes) {
  EXPECT_EQ((new TkvUSBPipePair(Usb))->UsbDevice(), Usb);
  EXPECT_EQ((new TkvUSBPipePair(&Owner))->UsbDevice(), nullptr);
  EXPECT_EQ(Pair->UsbDevice(), Usb);
  Pair->SetPipeIn(0);
  Pair->SetPipeOut(1);
  EXPECT_EQ(Pair->PipeInId(), kBoardIn);
  EXPECT_EQ(Pair->PipeOutId(), kBoardOut);
  Pair->SetPipeOut(0);
  EXPECT_EQ(Pair->PipeOutId(), kBoardIn) << "no direction test";
  Pair->SetPipeOut(2);
  EXPECT_EQ(Pair->PipeOutId(), 0);
  Usb->SetDeviceIndex(-1);
  Pair->ResolvePipeIds();
  EXPECT_EQ(Pair->PipeInId(), 0);
}

TEST_F(PipePairTest, AnOpenSetsEveryPolicyOfEachPipeOutFirst) {
  Pair->SetPolicy({uppAutoClearStall, uppAllowPartialReads});
  Pair->SetTimeoutWrite(250);
  Pair->SetTimeoutRead(300);
#ifndef _WIN32
  host::ClearDebugOutput();
#endif
  OpenBoth();
  ASSERT_TRUE(Pair->Active());
  std::vector<std::tuple<int, int, DWORD>> seen;
  for (const auto& p : Board->Policies()) seen.emplace_back(p.Pipe, p.Policy, p.Number());
  const std::vector<std::tuple<int, int, DWORD>> expected = {
      {0x01, 1, 0}, {0x01, 2, 1}, {0x01, 4, 0}, {0x01, 5, 1}, {0x01, 6, 0}, {0x01, 7, 0}, {0x01, 3, 250},
      {0x81, 1, 0}, {0x81, 2, 1}, {0x81, 4, 0}, {0x81, 5, 1}, {0x81, 6, 0}, {0x81, 7, 0}, {0x81, 3, 300}};
  EXPECT_EQ(seen, expected);
#ifndef _WIN32
  std::string sixOk;
  for (int i = 0; i < 6; ++i) sixOk += "... ok ..";
  EXPECT_EQ(host::DebugOutput(), sixOk + "Apply Timout Write OK" + sixOk + "Apply Timout Read OK");
  // Without an open USB component the policies fail and the pair stays closed.
  Pair->SetActive(false);
  Usb->SetActive(false);
  host::ClearDebugOutput();
  Pair->SetActive(true);
  EXPECT_FALSE(Pair->Active());
  std::string sixErr;
  for (int i = 0; i < 6; ++i) sixErr += "... err ...";
  EXPECT_EQ(host::DebugOutput(), sixErr + "err Apply Timout" + sixErr + "err Apply Timout");
#endif
}

TEST_F(PipePairTest, WhichPipesOpenAndWhatTheyDo) {
  struct Case {
    const char* Name;
    int In, Out;
    bool Receivers;
    bool Opens;
    unsigned long Reads;  // reads asked for while a block goes out and comes back
    std::size_t Received;
  } cases[] = {
      {"no pipes", -1, -1, true, false, 0, 0},
      {"out of range", 5, 7, true, false, 0, 0},
      {"both", 0, 1, true, true, 2, 3},
      {"only OUT: no reader", -1, 1, true, true, 0, 0},
      {"only IN: sends do nothing", 0, -1, true, true, 1, 0},
      {"no receivers: no reader", 0, 1, false, true, 0, 0},
  };
  Usb->SetActive(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Pair->SetDataProcessor(c.Receivers ? Collector : nullptr);
    Collector->Bytes.clear();
    const unsigned long reads = Board->ReadRequests();
    Pair->SetPipeIn(c.In);
    Pair->SetPipeOut(c.Out);
    if (c.Opens) {
      Pair->SetActive(true);
    } else {
      try {
        Pair->SetActive(true);
        ADD_FAILURE() << "no exception";
      } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Pipe IDs are wrong.");
      }
    }
    EXPECT_EQ(Pair->Active(), c.Opens);
    Pair->SendBuffer("abc", 3);
    if (c.Received) {
      EXPECT_TRUE(PumpUntil([&] { return Collector->Size() == c.Received; }));
    }
    PumpFor(20ms);
    EXPECT_EQ(Collector->Size(), c.Received);
    Pair->SetActive(false);
    EXPECT_EQ(Board->ReadRequests() - reads, c.Reads);
    const bool reader = c.Opens && c.Receivers && c.In == 0;
    EXPECT_EQ(Board->LoopbackBytes(), c.Opens && c.Out == 1 && !reader ? 3u : 0u) << "what was sent and not read";
    DeviceSideDrain();
  }
}

TEST_F(PipePairTest, ASmallReadBufferStillReads128BytesAndTimeoutsDoNotEndTheReader) {
  std::vector<DWORD> blocks;
  std::mutex lock;
  Pair->SetOnAfterReceive([&](TObject*, BYTE*, DWORD count) {
    std::lock_guard<std::mutex> guard(lock);
    blocks.push_back(count);
  });
  Pair->SetReadBufferSize(16);
  Pair->SetTimeoutRead(20);
  DeviceSide(std::vector<BYTE>(200, 7));
  OpenBoth();
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return blocks.size() == 2;
  }));
  EXPECT_EQ(blocks, (std::vector<DWORD>{128, 72}));
  PumpFor(100ms);  // several reads end by the time-out meanwhile
  Pair->SendString("late");
  EXPECT_TRUE(PumpUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return blocks.size() == 3;
  })) << "the reader still reads after a silent moment";
  Pair->SetActive(false);
  EXPECT_EQ(Pair->ReadBuffer(), nullptr);
}

TEST_F(PipePairTest, CloseDuringAPendingReadCancelsItBeforeTheBufferGoes) {
  Pair->SetDataProcessor(Collector);
  OpenBoth();
  ASSERT_TRUE(PumpUntil([&] { return Board->PendingCount() == 1; }));
  BYTE* buffer = Pair->ReadBuffer();
  ASSERT_NE(buffer, nullptr);
  Pair->SetActive(false);
  EXPECT_EQ(Board->PendingCount(), 0u) << "the read was cancelled";
  EXPECT_EQ(Pair->ReadBuffer(), nullptr) << "the reader has ended";
  // The next open reads again and a byte written now arrives once.
  Pair->SetActive(true);
  Pair->SendChar('x');
  EXPECT_TRUE(PumpUntil([&] { return Collector->Size() == 1; }));
  Pair->SetActive(false);
  EXPECT_EQ(Collector->Bytes, std::vector<BYTE>{'x'});
}

TEST_F(PipePairTest, AnUnpluggedDeviceEndsTheReaderWithoutASpin) {
  Pair->SetDataProcessor(Collector);
  OpenBoth();
  ASSERT_TRUE(PumpUntil([&] { return Board->PendingCount() == 1; }));
  Board->SetGone(true);  // the pending read fails
  ASSERT_TRUE(PumpUntil([&] { return Pair->ReadBuffer() == nullptr; }));
  const unsigned long reads = Board->ReadRequests();
  PumpFor(50ms);
  EXPECT_EQ(Board->ReadRequests(), reads);
  EXPECT_TRUE(Pair->Active()) << "active until it is closed";
  Pair->SetActive(false);

  // Gone before the open: the first read is refused at once, and only it.
  const unsigned long before = Board->ReadRequests();
  Pair->SetActive(true);
  PumpFor(50ms);
  EXPECT_EQ(Board->ReadRequests() - before, 1u);
#ifndef _WIN32
  host::ClearDebugOutput();
  Pair->SendChar('a');
  // The system's own text for the write's error, cut after its last word.
  EXPECT_EQ(host::DebugOutput(), "ERROR:The device does not recognize the command");
#endif
  Pair->SetActive(false);
}

TEST_F(PipePairTest, TheTerminalEchoesWhatTheBoardSendsBack) {
  TkvEdit edit(nullptr);
  Pair->SetTerminal(&edit);
  Pair->SetTerminalUsage(tuBoth);
  Pair->SetPolicy({uppAutoClearStall, uppAllowPartialReads});
  Pair->SetTimeoutRead(300);
  Pair->SetTimeoutWrite(300);
  OpenBoth();
  // Typed as a person types: each key after the echo of the one before.
  std::string typed;
  for (char c : std::string("hi!")) {
    Host().PostMessageA(edit.Handle(), WM_CHAR, static_cast<BYTE>(c), 1);
    typed += c;
    EXPECT_TRUE(PumpUntil([&] { return edit.Text() == typed; })) << edit.Text();
  }
  Pair->SetActive(false);
  Usb->SetActive(false);
  Pair->SetTerminal(nullptr);
}

TEST_F(PipePairTest, TheUsbComponentClosingOrGoingClosesThePairFirst) {
  Pair->SetDataProcessor(Collector);
  OpenBoth();
  ASSERT_TRUE(PumpUntil([&] { return Board->PendingCount() == 1; }));
  Usb->SetActive(false);
  EXPECT_FALSE(Pair->Active());
  EXPECT_EQ(Board->PendingCount(), 0u);
  EXPECT_EQ(M->WinUsbInterfaceCount(), 0u);

  OpenBoth();
  ASSERT_TRUE(PumpUntil([&] { return Board->PendingCount() == 1; }));
  delete Usb;
  Usb = nullptr;
  EXPECT_EQ(Pair->UsbDevice(), nullptr);
  EXPECT_FALSE(Pair->Active());
  EXPECT_EQ(Pair->ReadBuffer(), nullptr);
  EXPECT_EQ(M->WinUsbInterfaceCount(), 0u);
  EXPECT_EQ(M->OpenHandleCount(), 0u);
}

TEST_F(PipePairTest, DestroyingAnOpenPairLeavesTheUsbComponentOpen) {
  Pair->SetDataProcessor(Collector);
  OpenBoth();
  const std::size_t handles = M->OpenHandleCount();
  delete Pair;
  Pair = nullptr;
  EXPECT_TRUE(Usb->Active());
  EXPECT_EQ(M->OpenHandleCount(), handles);
  EXPECT_EQ(Board->PendingCount(), 0u);
  EXPECT_EQ(Usb->NotifyList().Count(), 0) << "the pair took its callback back";
}

// A thousand opens and closes while the device side writes a counted stream:
// every byte arrives once and in order, through the data processor, on the
// reader thread and through the main thread by turns; no read outlives its
// buffer and no thread outlives the pair's close.
TEST_F(PipePairTest, StormOfOpensAndClosesWhileDataFlows) {
#ifndef _WIN32
  const int threads = ThreadCount();
#endif
  Pair->SetDataProcessor(Collector);
  Pair->SetReadBufferSize(64);
  Usb->SetActive(true);
  Pair->SetPipeIn(0);
  Pair->SetPipeOut(1);
  constexpr std::size_t kTotal = 400000;
  std::atomic<bool> writing{true};
  std::thread device([&] {
    HANDLE file = M->CreateFileA(kBoardPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    WINUSB_INTERFACE_HANDLE h = nullptr;
    ASSERT_TRUE(WinUsb_Initialize(file, &h));
    std::vector<BYTE> chunk;
    std::size_t sent = 0;
    while (sent < kTotal) {
      const std::size_t n = std::min<std::size_t>(1 + sent % 301, kTotal - sent);
      chunk.resize(n);
      for (std::size_t i = 0; i < n; ++i) chunk[i] = static_cast<BYTE>((sent + i) % 251);
      ULONG written = 0;
      ASSERT_TRUE(WinUsb_WritePipe(h, kBoardOut, chunk.data(), static_cast<ULONG>(n), &written, nullptr));
      sent += n;
    }
    WinUsb_Free(h);
    M->CloseHandle(file);
    writing = false;
  });
  for (int cycle = 0; cycle < 1000; ++cycle) {
    Pair->SetUseMainThread(cycle % 4 == 3);
    Pair->SetActive(true);
    ASSERT_TRUE(Pair->Active());
    if (cycle % 100 == 0) PumpFor(1ms);
    Pair->SetActive(false);
    ASSERT_EQ(Pair->ReadBuffer(), nullptr);
  }
  Pair->SetUseMainThread(false);
  Pair->SetActive(true);
  device.join();
  EXPECT_TRUE(PumpUntil([&] { return Collector->Size() >= kTotal; }, 60000ms)) << Collector->Size();
  Pair->SetActive(false);
  Usb->SetActive(false);
  ASSERT_EQ(Collector->Bytes.size(), kTotal);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < kTotal; ++i) wrong += Collector->Bytes[i] != static_cast<BYTE>(i % 251);
  EXPECT_EQ(wrong, 0u) << "every byte once, in order";
  EXPECT_EQ(Board->PendingCount(), 0u);
#ifndef _WIN32
  // A reader's system thread ends just after its run has been waited for.
  EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= threads; }, 2000ms)) << "no reader left: " << ThreadCount();
#endif
}

}  // namespace
}  // namespace kv::test
