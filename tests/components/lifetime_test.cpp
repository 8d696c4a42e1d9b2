// Lifetimes of components that a thread dispatches through: chains of
// processors and their components destroyed in every order while data flows,
// components moved to another owner, an I/O thread that cannot be made.
#include "comptest.h"

#include "kvdataproc.h"

#include <algorithm>
#include <array>

namespace kv::test {
namespace {

// Checks it is whole whenever it is called, calls back into its component
// and sends from the dispatch, then passes the block on.
class TStormProcessor : public TkvCustomDataProcessor {
 public:
  using TkvCustomDataProcessor::TkvCustomDataProcessor;
  ~TStormProcessor() override {
    Detach();
    Alive = 0;
  }
  std::atomic<int> Alive{0x600D};
  std::atomic<int> Blocks{0};
  void DataReceived(BYTE* buffer, DWORD count, bool& handled) override {
    EXPECT_EQ(Alive.load(), 0x600D) << "called after it detached";
    ++Blocks;
    if (TkvBaseIO* comm = Comm()) comm->HasReceivers();
    DoDataSend(buffer, 1);
    TkvCustomDataProcessor::DataReceived(buffer, count, handled);
  }
};

TEST(ComponentLifetime, ChainsDestroyedInEveryOrderWhileThreadsDeliver) {
  // Two components whose threads deliver without pause; the first has the
  // chain A -> B -> C, the second names B (and so C) as well. The five go in
  // each of the 120 orders in turn.
  std::array<int, 5> order{0, 1, 2, 3, 4};
  for (int round = 0; round < 1000; ++round) {
    auto* first = new TTestIO(nullptr);
    auto* second = new TTestIO(nullptr);
    auto* a = new TStormProcessor(nullptr);
    auto* b = new TStormProcessor(nullptr);
    auto* c = new TStormProcessor(nullptr);
    first->SetDataProcessor(a);
    a->SetNext(b);
    b->SetNext(c);
    second->SetDataProcessor(b);
    for (TTestIO* io : {first, second}) {
      io->SetUsesThread(true);
      io->Body = [](TTestIO& self, TkvThreadIO*) {
        BYTE data[] = {'s', 't', 'o', 'r', 'm'};
        while (!self.ThreadStopped()) {
          self.DoDataReceived(data, sizeof data);
          std::this_thread::yield();
        }
      };
      io->SetActive(true);
    }
    ASSERT_TRUE(PumpUntil([&] { return a->Blocks > 0 && c->Blocks > 2; }));
    std::array<TComponent*, 5> objects{first, second, a, b, c};
    for (int index : order) {
      delete objects[static_cast<std::size_t>(index)];
      std::this_thread::yield();  // the others go on delivering
    }
    if (!std::next_permutation(order.begin(), order.end())) std::sort(order.begin(), order.end());
  }
}

TEST(ComponentLifetime, ComponentsMovedToAnotherOwnerLetGoOfEachOther) {
  TComponent form(nullptr), other(nullptr);
  // The processor and the edit move away from their component.
  auto* io = new TTestIO(&form);
  auto* processor = new TStormProcessor(&form);
  auto* edit = new TkvEdit(&form);
  io->SetDataProcessor(processor);
  io->SetTerminal(edit);
  io->SetTerminalUsage(tuBoth);
  other.InsertComponent(processor);
  other.InsertComponent(edit);
  EXPECT_EQ(io->DataProcessor(), nullptr);
  EXPECT_EQ(processor->Comm(), nullptr);
  EXPECT_EQ(io->NotifyList().Count(), 0);
  EXPECT_EQ(io->Terminal(), nullptr);
  EXPECT_FALSE(io->HasReceivers());
  delete io;
  Type(edit->Handle(), 'k');  // the edit's own procedure, not a freed component's hook
  EXPECT_EQ(edit->Text(), "k");
  char data[] = {'x'};
  processor->DoDataSend(data, 1);  // bound to nothing: dropped

  // The component moves away from its processor and edit.
  auto* mover = new TTestIO(&form);
  auto* staying = new TStormProcessor(&form);
  auto* next = new TStormProcessor(&other);  // names the component from elsewhere
  auto* stayingEdit = new TkvEdit(&form);
  mover->SetDataProcessor(staying);
  staying->SetNext(next);
  mover->SetTerminal(stayingEdit);
  mover->SetTerminalUsage(tuBoth);
  other.InsertComponent(mover);
  EXPECT_EQ(staying->Comm(), nullptr);  // released by its side
  EXPECT_EQ(mover->NotifyList().Count(), 1);
  EXPECT_EQ(next->Comm(), mover);
  delete stayingEdit;  // still heard of by the component that moved
  EXPECT_EQ(mover->Terminal(), nullptr);
  delete mover;
  EXPECT_EQ(next->Comm(), nullptr);
  delete staying;
  EXPECT_EQ(next->Blocks, 0);
}

TEST(ComponentLifetime, AThreadThatCannotBeMadeIsAFatalErrorAndLeavesTheComponentClosed) {
  std::vector<DWORD> errors;
  auto io = std::make_unique<TTestIO>(nullptr);
  io->SetUsesThread(true);
  std::atomic<int> runs{0};
  io->Body = [&](TTestIO& self, TkvThreadIO*) {
    ++runs;
    self.ReadUntilClosed(5000ms);
  };
  io->SetOnFatalError([&](TObject*, DWORD code, DWORD, const std::string&, bool&) { errors.push_back(code); });
  int afterOpen = 0;
  io->SetOnAfterOpen([&](TObject*) { ++afterOpen; });

  TThread::FailNextStarts(1);
  EXPECT_THROW(io->SetActive(true), Exception);
  EXPECT_EQ(errors, std::vector<DWORD>{ERROR_NOT_ENOUGH_MEMORY});
  EXPECT_FALSE(io->Active());
  EXPECT_EQ(afterOpen, 0);
  ASSERT_EQ(io->ClosedHandles.size(), 1u);  // the medium is closed again
  EXPECT_EQ(Host().WaitForSingleObject(io->ClosedHandles[0], 0), WAIT_FAILED);
  io->SetActive(false);  // nothing to close, no thread to wait for

  io->SetActive(true);  // threads can be made again
  ASSERT_TRUE(PumpUntil([&] { return runs.load() == 1; }));
  io->SetActive(false);

  // A handler that keeps the exception back; the destructor has nothing to wait for either.
  io->SetOnFatalError([](TObject*, DWORD, DWORD, const std::string&, bool& raise) { raise = false; });
  TThread::FailNextStarts(1);
  io->SetActive(true);
  EXPECT_FALSE(io->Active());
  io.reset();
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace kv::test
