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

TEST(ThreadIO, TheLoopRunsWithCOMBetweenOpenAndCloseWhichEndsItsReadFirst) {
  TTestIO io(nullptr);
  io.SetUsesThread(true);
  std::atomic<bool> started{false}, ended{false}, endedByClose{false};
  std::atomic<HRESULT> apartment{0};
  std::atomic<bool> sameThread{false};
  io.Body = [&](TTestIO& self, TkvThreadIO* thread) {
    sameThread = thread->Owner() == &self && thread->ThreadID() == std::this_thread::get_id();
    // Already in the multithreaded apartment: asking for another fails.
    apartment = Host().CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    started = true;
    // A read that only the closing of the medium ends: a Close that stopped
    // the thread before closing the medium would wait for it in vain.
    endedByClose = self.ReadUntilClosed(5000ms);
    ended = true;
  };
  io.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return started.load(); }));
  EXPECT_TRUE(sameThread);
  EXPECT_EQ(apartment.load(), static_cast<HRESULT>(0x80010106u));  // RPC_E_CHANGED_MODE
  EXPECT_FALSE(ended);
  io.SetActive(false);
  EXPECT_TRUE(ended);  // Close waited for the end of the run
  EXPECT_TRUE(endedByClose);
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
  std::atomic<int> calls{0}, asked{0};
  std::atomic<bool> wrongThread{false};
  io.Body = [&](TTestIO& self, TkvThreadIO* thread) {
    while (!self.ThreadStopped()) {
      ++asked;
      SynchronizeMethod(thread, [&] {
        if (!IsMainThread()) wrongThread = true;
        ++calls;
      });
    }
  };
  io.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return calls.load() >= 3; }));
  // The main thread serves the thread no more: it waits in its next call
  // until Close's wait serves it.
  ASSERT_TRUE(WaitUntil([&] { return asked.load() == calls.load() + 1; }));
  io.SetActive(false);
  EXPECT_FALSE(wrongThread);
  const int atClose = calls;
  PumpFor(20ms);
  EXPECT_EQ(calls.load(), atClose);
}

// Counts the blocks it is handed; checks it is whole when called.
class TCountingProcessor : public TkvCustomDataProcessor {
 public:
  using TkvCustomDataProcessor::TkvCustomDataProcessor;
  ~TCountingProcessor() override {
    Detach();
    Alive = 0;
  }
  std::atomic<int> Alive{0x600D};
  std::atomic<int> Blocks{0};
  void DataReceived(BYTE* buffer, DWORD count, bool& handled) override {
    EXPECT_EQ(Alive.load(), 0x600D);
    ++Blocks;
    TkvCustomDataProcessor::DataReceived(buffer, count, handled);
  }
};

TEST(ThreadIO, CloseStopsAThreadThatWaitsForItsEchoToReachTheTerminal) {
  TTestIO io(nullptr);
  TkvEdit edit(nullptr);
  TCountingProcessor before(nullptr);  // sees each block before the terminal does
  io.SetDataProcessor(&before);
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
  // The next block is on its way to the terminal, which only the main thread
  // serves: the thread waits for it.
  ASSERT_TRUE(WaitUntil([&] { return before.Blocks.load() == blocks.load() + 1; }));
  io.SetActive(false);
  std::string expected;
  for (int i = 0; i < blocks.load(); ++i) expected += "echo ";
  EXPECT_EQ(edit.Text(), expected);  // the waiting one included
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
  int cycle = 0;
  std::string delivered;  // the I/O thread's, read after Close has waited for it
  io.Body = [&](TTestIO& self, TkvThreadIO*) {
    // A typed byte, then blocks that tell which cycle and which block they are.
    for (int i = 0; i < 3 && !self.ThreadStopped(); ++i) {
      const std::string block = i == 0 ? "|" : std::to_string(cycle) + "." + std::to_string(i) + " ";
      self.DoDataReceived(reinterpret_cast<BYTE*>(const_cast<char*>(block.data())), static_cast<DWORD>(block.size()));
      delivered += block;
    }
    while (!self.ThreadStopped()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  };
  for (cycle = 0; cycle < 1000; ++cycle) {
    io.SetActive(true);
    if (cycle % 10 == 0) PumpFor(1ms);  // now and then the terminal is served before the close
    io.SetActive(false);
    ASSERT_FALSE(io.Active());
  }
  EXPECT_EQ(io.Opens, 1000);
  EXPECT_EQ(io.Closes, 1000);
  // Every block that was delivered reached the edit, in order, none twice.
  EXPECT_GT(delivered.size(), 0u);
  EXPECT_EQ(edit.Text(), delivered);
}

}  // namespace
}  // namespace kv::test
