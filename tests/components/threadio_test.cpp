// The I/O thread: started by Open and stopped by Close, COM on the thread,
// stopping while the thread waits for the main thread, a loop that is not
// waited for, receivers that change or go while data arrives, and many cycles
// of a component whose thread writes into a terminal.
#include "comptest.h"

#include "kvdataproc.h"

namespace kv::test {
namespace {

TEST(ThreadIO, WithoutUsesThreadNoThreadStarts) {
  TTestIO io(nullptr);
  std::atomic<int> runs{0};
  io.Body = [&](TTestIO&, TkvThreadIO*) { ++runs; };
  io.SetActive(true);
  EXPECT_EQ(io.Thread(), nullptr);
  io.SetActive(false);
  EXPECT_EQ(runs, 0);
}

TEST(ThreadIO, TheLoopRunsWithCOMBetweenOpenAndClose) {
  TTestIO io(nullptr);
  io.SetUsesThread(true);
  std::atomic<bool> started{false}, ended{false};
  std::atomic<HRESULT> apartment{0};
  std::atomic<bool> sameThread{false};
  io.Body = [&](TTestIO& self, TkvThreadIO* thread) {
    sameThread = thread->Owner() == &self && thread->ThreadID() == std::this_thread::get_id();
    // Already in the multithreaded apartment: asking for another fails.
    apartment = Host().CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    started = true;
    while (!self.ThreadStopped()) std::this_thread::sleep_for(1ms);
    ended = true;
  };
  io.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return started.load(); }));
  EXPECT_TRUE(sameThread);
  EXPECT_EQ(apartment.load(), static_cast<HRESULT>(0x80010106u));  // RPC_E_CHANGED_MODE
  EXPECT_FALSE(ended);
  io.SetActive(false);
  EXPECT_TRUE(ended);  // Close waited for the end of the run
  EXPECT_TRUE(io.ThreadStopped());
  EXPECT_EQ(io.Thread(), nullptr);
}

TEST(ThreadIO, AnExceptionEndsTheRunQuietlyAndTheComponentOpensAgain) {
  TTestIO io(nullptr);
  io.SetUsesThread(true);
  std::atomic<int> runs{0};
  io.Body = [&](TTestIO&, TkvThreadIO*) {
    ++runs;
    throw std::runtime_error("read failed");
  };
  for (int i = 0; i < 3; ++i) {
    io.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return runs.load() == i + 1; }));
    io.SetActive(false);
  }
}

TEST(ThreadIO, CloseStopsAThreadThatWaitsInASynchronisedCall) {
  TTestIO io(nullptr);
  io.SetUsesThread(true);
  std::atomic<int> calls{0};
  std::atomic<bool> wrongThread{false};
  io.Body = [&](TTestIO& self, TkvThreadIO* thread) {
    while (!self.ThreadStopped())
      SynchronizeMethod(thread, [&] {
        if (!IsMainThread()) wrongThread = true;
        ++calls;
      });
  };
  io.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return calls.load() >= 3; }));
  // The main thread does not serve the thread now, until Close's wait does.
  std::this_thread::sleep_for(20ms);
  io.SetActive(false);
  EXPECT_FALSE(wrongThread);
  const int atClose = calls;
  PumpFor(20ms);
  EXPECT_EQ(calls.load(), atClose);
}

TEST(ThreadIO, CloseStopsAThreadThatWaitsForItsEchoToReachTheTerminal) {
  TTestIO io(nullptr);
  TkvEdit edit(nullptr);
  io.SetTerminal(&edit);
  io.SetTerminalUsage(tuReceive);
  io.SetUsesThread(true);
  std::atomic<int> blocks{0};
  io.Body = [&](TTestIO& self, TkvThreadIO*) {
    BYTE data[] = {'e', 'c', 'h', 'o', ' '};
    while (!self.ThreadStopped()) {
      self.DoDataReceived(data, sizeof data);  // waits until the main thread handles it
      ++blocks;
    }
  };
  io.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return blocks.load() >= 2; }));
  std::this_thread::sleep_for(20ms);  // the thread is now blocked in its send
  io.SetActive(false);
  const std::string text = edit.Text();
  EXPECT_GE(text.size(), 10u);
  EXPECT_EQ(text.substr(0, 10), "echo echo ");
}

TEST(ThreadIO, ALoopThatIsNotWaitedForEndsBeforeTheNextOneStarts) {
  // Like a reader whose Close sets the stop flag itself and does not wait.
  TTestIO io(nullptr);
  io.SetUsesThread(true);
  io.BeforeBaseClose = [&] { io.SetThreadStopped(true); };
  std::atomic<int> running{0}, most{0}, runs{0};
  io.Body = [&](TTestIO& self, TkvThreadIO*) {
    const int now = ++running;
    if (now > most) most = now;
    ++runs;
    while (!self.ThreadStopped()) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(30ms);  // still busy after the stop request
    --running;
  };
  for (int i = 0; i < 5; ++i) {
    io.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return runs.load() == i + 1; }));
    io.SetActive(false);  // returns without waiting
  }
  EXPECT_EQ(most.load(), 1);
}

TEST(ThreadIO, AComponentDestroyedWhileItsThreadRunsLeavesNoThreadBehind) {
  std::atomic<bool> ended{false};
  std::atomic<int> started{0};
  HANDLE handle;
  TThreadRef run;
  {
    auto io = std::make_unique<TTestIO>(nullptr);
    TTestIO* raw = io.get();
    io->SetUsesThread(true);
    io->BeforeBaseClose = [raw] { raw->SetThreadStopped(true); };  // even one not waited for
    io->Body = [&](TTestIO& self, TkvThreadIO* thread) {
      ++started;
      while (!self.ThreadStopped()) std::this_thread::sleep_for(1ms);
      std::this_thread::sleep_for(20ms);
      self.Sent.size();  // still uses its component
      ended = true;
      (void)thread;
    };
    io->SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return started.load() == 1; }));
    handle = io->Handle();
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(Host().WaitForSingleObject(handle, 0), WAIT_FAILED);
}

// Counts the blocks it is handed; checks it is alive when called.
class TCountingProcessor : public TkvCustomDataProcessor {
 public:
  using TkvCustomDataProcessor::TkvCustomDataProcessor;
  ~TCountingProcessor() override {
    if (Comm() && Comm()->DataProcessor() == this) Comm()->SetDataProcessor(nullptr);
    Alive = 0;
  }
  std::atomic<int> Alive{0x600D};
  std::atomic<int> Blocks{0};
  void DataReceived(BYTE*, DWORD, bool&) override {
    EXPECT_EQ(Alive.load(), 0x600D);
    ++Blocks;
  }
};

TEST(ThreadIO, ReceiversChangedOrDestroyedWhileDataArrivesAreNeverCalledAfterwards) {
  TTestIO io(nullptr);
  TkvEdit edit(nullptr);
  io.SetUsesThread(true);
  std::atomic<int> blocks{0};
  io.Body = [&](TTestIO& self, TkvThreadIO*) {
    BYTE data[] = {'z', 'z'};
    while (!self.ThreadStopped()) {
      self.DoDataReceived(data, sizeof data);
      ++blocks;
    }
  };
  io.SetActive(true);
  for (int round = 0; round < 20; ++round) {
    auto processor = std::make_unique<TCountingProcessor>(nullptr);
    io.SetDataProcessor(processor.get());
    std::atomic<int> after{0};
    io.SetOnAfterReceive([&after](TObject*, BYTE*, DWORD) { ++after; });
    io.SetTerminal(&edit);
    io.SetTerminalUsage(round % 2 ? tuReceive : tuBoth);
    const int start = blocks;
    ASSERT_TRUE(PumpUntil([&] { return blocks.load() > start + 2 && processor->Blocks > 0; }));
    processor.reset();
    io.SetOnAfterReceive(nullptr);  // `after` goes out of scope next
    io.SetTerminal(nullptr);
  }
  io.SetActive(false);
  EXPECT_GT(edit.Text().size(), 0u);
}

TEST(ThreadIO, AThousandOpenCloseCyclesWithATerminal) {
  TTestIO io(nullptr);
  TkvEdit edit(nullptr);
  io.SetTerminal(&edit);
  io.SetTerminalUsage(tuBoth);
  io.SetUsesThread(true);
  Host().SendMessageA(edit.Handle(), 0x00C5 /* EM_SETLIMITTEXT */, 0, 0);  // no limit: every byte stays
  std::atomic<int> delivered{0};
  io.Body = [&](TTestIO& self, TkvThreadIO*) {
    BYTE data[] = {'.', '.'};
    for (int i = 0; i < 3 && !self.ThreadStopped(); ++i) {
      self.DoDataReceived(data, i == 0 ? 1 : 2);
      ++delivered;
    }
    while (!self.ThreadStopped()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  };
  for (int cycle = 0; cycle < 1000; ++cycle) {
    io.SetActive(true);
    if (cycle % 10 == 0) PumpFor(1ms);  // now and then the terminal is served before the close
    io.SetActive(false);
    ASSERT_FALSE(io.Active());
  }
  EXPECT_EQ(io.Opens, 1000);
  EXPECT_EQ(io.Closes, 1000);
  // Every block that was delivered reached the edit, none twice.
  PumpFor(10ms);
  const std::string text = edit.Text();
  EXPECT_GT(delivered.load(), 0);
  EXPECT_LE(text.size(), static_cast<std::size_t>(delivered.load()) * 2);
  EXPECT_EQ(text.find_first_not_of('.'), std::string::npos);
}

}  // namespace
}  // namespace kv::test
